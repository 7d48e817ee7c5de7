#include "tools/tallyport-check/SupportBundle.h"

#include "TallyportVersion.h"
#include "api/DeliveryJournal.h"
#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "logging/LogFileOwnership.h"
#include "platform/FileAccess.h"
#include "platform/UniqueResource.h"
#include "settings/SettingsFile.h"
#include "tools/tallyport-check/JournalChecks.h"
#include "tools/tallyport-check/ZipArchive.h"

#include <windows.h>

#include <vector>

namespace {

constexpr char kRemoved[] = "<removed>";
constexpr char kStoredSecretPrefix[] = "DPAPI:";
constexpr std::size_t kLogTail = 4 * 1024 * 1024;
constexpr std::size_t kBootstrapTail = 1024 * 1024;

// The file's last limit bytes, from the first whole line among them; empty
// when it cannot be read.
std::string Tail(const std::string& path, std::size_t limit) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes) || bytes.size() <= limit) return bytes;
    bytes.erase(0, bytes.size() - limit);
    const std::size_t lineEnd = bytes.find('\n');
    return lineEnd == std::string::npos ? bytes : bytes.substr(lineEnd + 1);
}

void Conceal(std::string& text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
            text.replace(at, secret.size(), kRemoved);
            at += sizeof kRemoved - 1;
        }
    }
}

// Every stored secret in the document replaced by the marker, wherever it is;
// each one found is added to secrets.
void RemoveStoredSecrets(nlohmann::json& value, std::vector<std::string>& secrets) {
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.rfind(kStoredSecretPrefix, 0) == 0) {
            secrets.push_back(text);
            secrets.push_back(text.substr(sizeof kStoredSecretPrefix - 1));
            value = kRemoved;
        }
    } else if (value.is_structured()) {
        for (auto& element : value) RemoveStoredSecrets(element, secrets);
    }
}

// The settings file as support may see it; empty when it is missing or no JSON
// object (it could hold the secret anywhere then, so it stays out).
std::string RedactedSettings(const std::string& path, std::vector<std::string>& secrets) {
    std::string text;
    if (!ReadWholeFile(path, text)) return {};
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) return {};
    RemoveStoredSecrets(document, secrets);
    if (auto server = document.find("server"); server != document.end() && server->is_object()) {
        for (const char* member : {"client_secret", "client_id"}) {
            auto found = server->find(member);
            if (found == server->end()) continue;
            if (found->is_string() && std::string(member) == "client_secret") {
                secrets.push_back(found->get<std::string>());
            }
            *found = kRemoved;
        }
    }
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string WindowsVersion() {
    using GetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const FARPROC found = ntdll ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!found || reinterpret_cast<GetVersionFunction>(reinterpret_cast<void*>(found))(&info) != 0) return "unknown";
    return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
           std::to_string(info.dwBuildNumber);
}

bool WriteFileWhole(const std::string& path, const std::string& bytes, std::string& error) {
    const tly::UniqueFileHandle file(
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        error = path + " cannot be written (error=" + std::to_string(::GetLastError()) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool WriteSupportBundle(const std::string& zipPath, const CheckReport& report, const std::string& dll,
                        const std::string& dllVersion, std::string& error) {
    TranslatorSettings settings;
    const std::string settingsPath = SettingsPath();
    InspectSettingsJson(settingsPath, settings);
    std::vector<std::string> secrets = {settings.client_secret};

    struct Entry {
        std::string name;
        std::string bytes;
    };
    std::vector<Entry> entries;
    std::string contents = "Support bundle of the translator in " + ModuleDirectory() + "\n";
    if (DataDirectory() != ModuleDirectory()) contents += "Its data folder: " + DataDirectory() + "\n";
    auto add = [&](const std::string& name, std::string bytes, const std::string& what) {
        contents += name + ": " + what + "\n";
        entries.push_back({name, std::move(bytes)});
    };

    const std::string redacted = RedactedSettings(settingsPath, secrets);
    add("check.json", report.Json(), "the check's report");
    add("versions.txt",
        "tallyport-check " TLY_VERSION_TEXT "\ntranslator " + (dllVersion.empty() ? "(missing)" : dllVersion) + " " +
            dll + "\nwindows " + WindowsVersion() + "\n",
        "versions of the check, the DLL and Windows");
    const StepResult* registration = report.Find("registration");
    add("registration.json", (registration ? registration->data : nlohmann::json::object()).dump(2) + "\n",
        "the class's registration as the check read it");
    if (redacted.empty()) {
        contents += "tallyport_settings.json: left out, missing or not a JSON object\n";
    } else {
        add("tallyport_settings.json", redacted, "the settings, client id and secrets replaced by " +
                                                     std::string(kRemoved));
    }
    // Every panel's: support may not know which panel the host struggles with.
    const std::vector<journal::Activity> held = ReadHeldActivities(DataDirectory());
    if (!held.empty()) {
        nlohmann::json activities = nlohmann::json::array();
        for (const journal::Activity& activity : held) {
            activities.push_back({{"panel", activity.panelId},
                                  {"adm_id", activity.admId},
                                  {"badge_no", activity.badgeNo},
                                  {"crashes", activity.crashes},
                                  {"activity", activity.text}});
        }
        add("held_back.json", activities.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
            "the activities the translator holds back (the host process ended while being handed each)");
    }
    JournalUsage usage;
    std::string journalReason;
    if (ReadJournalUsage(DataDirectory(), usage, journalReason)) {
        add("journal.json", JournalUsageJson(usage).dump(2) + "\n",
            "how full the delivery journal is: ids taken and not yet marked, held back, the file's size");
    } else {
        contents += "journal.json: left out, " + journalReason + "\n";
    }
    // Only a file of this log goes in: the settings may name any file the
    // account can read, and a refused name leads the log elsewhere anyway.
    const std::string log = ChooseLogFile(settings).path;
    if (tly::InspectLogFile(log) == tly::LogFileKind::Own) {
        add("tly_translator.log", Tail(log, kLogTail), "the last 4 MB of " + log);
    } else {
        contents += "tly_translator.log: left out, " + log + " is missing, empty or not a file of this log\n";
    }
    const std::string bootstrap = DataDirectory() + "\\tly_translator_bootstrap.log";
    add("tly_translator_bootstrap.log", Tail(bootstrap, kBootstrapTail), "the last 1 MB of " + bootstrap);

    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    FILETIME stamp{};
    WORD dosDate = 0, dosTime = 0;
    ::SystemTimeToFileTime(&now, &stamp);
    ::FileTimeToDosDateTime(&stamp, &dosDate, &dosTime);
    ZipArchive archive;
    Conceal(contents, secrets);
    archive.Add("README.txt", contents, dosDate, dosTime);
    for (Entry& entry : entries) {
        Conceal(entry.bytes, secrets);
        archive.Add(entry.name, entry.bytes, dosDate, dosTime);
    }
    return WriteFileWhole(zipPath, archive.Bytes(), error);
}
