#include "tools/tallyport-check/ProgramRights.h"

#include <aclapi.h>

namespace {

SidBytes WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    SidBytes sid(size);
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

SidBytes CopyOfSid(PSID sid) {
    if (!sid || !::IsValidSid(sid)) return {};
    const auto* bytes = static_cast<const BYTE*>(sid);
    return SidBytes(bytes, bytes + ::GetLengthSid(sid));
}

bool Holds(const std::vector<SidBytes>& sids, PSID sid) {
    for (const SidBytes& held : sids) {
        if (!held.empty() && ::EqualSid(const_cast<BYTE*>(held.data()), sid)) return true;
    }
    return false;
}

ACCESS_MASK MappedForFiles(ACCESS_MASK mask) {
    GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    ::MapGenericMask(&mask, &files);
    return mask;
}

bool IsAdministrative(PSID sid) {
    static const SidBytes administrators = WellKnownSid(WinBuiltinAdministratorsSid);
    static const SidBytes system = WellKnownSid(WinLocalSystemSid);
    return ::EqualSid(const_cast<BYTE*>(administrators.data()), sid) ||
           ::EqualSid(const_cast<BYTE*>(system.data()), sid);
}

}  // namespace

ACCESS_MASK GrantedRights(PSECURITY_DESCRIPTOR descriptor, const Trustees& trustees) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
        return MappedForFiles(GENERIC_ALL);  // no DACL: no restriction at all
    }
    PSID owner = nullptr;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    const bool ownsIt = owner && Holds(trustees.sids, owner);
    // An "OWNER RIGHTS" entry takes the place of the owner's implicit rights.
    const SidBytes ownerRights = WellKnownSid(WinCreatorOwnerRightsSid);
    bool ownerRightsListed = false;

    ACCESS_MASK granted = 0, denied = 0;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for children only
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        // Both kinds share the layout: header, mask, then the SID.
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        const bool isOwnerRights = !ownerRights.empty() && ::EqualSid(const_cast<BYTE*>(ownerRights.data()), sid);
        ownerRightsListed = ownerRightsListed || isOwnerRights;
        const bool matchesAllowing = Holds(trustees.sids, sid) || (isOwnerRights && ownsIt);
        const ACCESS_MASK mask = MappedForFiles(allowed->Mask);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            if (matchesAllowing || Holds(trustees.denyOnlySids, sid)) denied |= mask & ~granted;
        } else if (matchesAllowing) {
            granted |= mask & ~denied;
        }
    }
    if (ownsIt && !ownerRightsListed) granted |= READ_CONTROL | WRITE_DAC;
    return granted;
}

Trustees OrdinaryUsers() {
    return {{WellKnownSid(WinWorldSid), WellKnownSid(WinAuthenticatedUserSid), WellKnownSid(WinBuiltinUsersSid)}, {}};
}

bool RunningAccount(Trustees& account, bool& administrator, DWORD& error) {
    account = {};
    administrator = false;
    tly::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        error = ::GetLastError();
        return false;
    }
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    ::GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> groups(size);
    if (user.empty() || groups.empty() ||
        !::GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size()), &size) ||
        !::GetTokenInformation(token.get(), TokenGroups, groups.data(), static_cast<DWORD>(groups.size()), &size)) {
        error = ::GetLastError();
        return false;
    }
    account.sids.push_back(CopyOfSid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
    const auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = list->Groups[i];
        const bool denyOnly = (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0;
        const bool enabled = (group.Attributes & SE_GROUP_ENABLED) != 0;
        if (IsAdministrative(group.Sid)) {
            administrator = administrator || enabled;
            continue;
        }
        if (enabled) account.sids.push_back(CopyOfSid(group.Sid));
        else if (denyOnly) account.denyOnlySids.push_back(CopyOfSid(group.Sid));
    }
    return true;
}

std::vector<std::string> ChangingRightNames(ACCESS_MASK rights) {
    static const struct {
        ACCESS_MASK right;
        const char* name;
    } kNames[] = {
        {FILE_WRITE_DATA, "write or create files"},
        {FILE_APPEND_DATA, "append or create folders"},
        {FILE_DELETE_CHILD, "delete what it holds"},
        {DELETE, "delete or rename"},
        {WRITE_DAC, "change the rights"},
        {WRITE_OWNER, "take ownership"},
    };
    std::vector<std::string> names;
    for (const auto& entry : kNames) {
        if (rights & entry.right) names.push_back(entry.name);
    }
    return names;
}

tly::UniqueLocalMemory ReadSecurityDescriptor(const std::string& path, DWORD& error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    error = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr, &descriptor);
    return tly::UniqueLocalMemory(error == ERROR_SUCCESS ? descriptor : nullptr);
}
