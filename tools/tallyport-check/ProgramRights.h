#pragma once
// Who may change the programs: the rights a set of accounts and groups holds
// on a file or folder, read from its security descriptor the way Windows
// grants access (the DACL in order, the first entry that allows or denies a
// right decides it, the owner may always change the rights). The check asks
// it for ordinary users and for the account that runs it; neither should be
// able to write, delete or re-permission the program folder or the programs,
// since a DLL planted there runs in the host and in whoever starts the check.

#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>
#include <vector>

// A SID held by value.
using SidBytes = std::vector<BYTE>;

struct Trustees {
    std::vector<SidBytes> sids;          // matched by allowing and denying entries
    std::vector<SidBytes> denyOnlySids;  // matched by denying entries only (a filtered token's administrators)
};

// The rights that let someone put another file in place of a program: write
// or append, create files or folders in a folder, delete its files, delete or
// rename the object itself, change its rights or take it over.
constexpr ACCESS_MASK kChangingRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// The rights of the trustees on an object with this descriptor, generic rights
// mapped as for files. A descriptor without a DACL grants everything.
ACCESS_MASK GrantedRights(PSECURITY_DESCRIPTOR descriptor, const Trustees& trustees);

// Everyone, Authenticated Users and Users: what any account that can log on holds.
Trustees OrdinaryUsers();

// The user and the enabled groups of this process's token, without the
// administrative ones (Administrators, Local System): what the account holds
// by itself. False when the token cannot be read.
bool RunningAccount(Trustees& account, bool& administrator, DWORD& error);

// "write", "delete or rename", ... for the changing rights in a mask.
std::vector<std::string> ChangingRightNames(ACCESS_MASK rights);

// The owner and DACL of a file or folder (LocalAlloc'd by the system), or
// none with the error.
tly::UniqueLocalMemory ReadSecurityDescriptor(const std::string& path, DWORD& error);
