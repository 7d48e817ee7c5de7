#include "tools/tallyport-check/SupportBundle.h"

#include "TallyportVersion.h"
#include "api/DeliveryJournal.h"
#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "logging/LogFileOwnership.h"
#include "platform/FileAccess.h"
#include "platform/TextConversion.h"
#include "platform/UniqueResource.h"
#include "settings/SettingsFile.h"
#include "tools/tallyport-check/JournalChecks.h"
#include "tools/tallyport-check/RegistrationCheck.h"
#include "tools/tallyport-check/StatusView.h"
#include "tools/tallyport-check/ZipArchive.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kRemoved[] = "<removed>";
constexpr char kStoredSecretPrefix[] = "DPAPI:";
// The log and its rotated files together, newest first: the live log, then
// rotated files while the bound lasts (the one reaching it cut to its end).
constexpr std::size_t kLogsTail = 8 * 1024 * 1024;
constexpr std::size_t kBootstrapTail = 1024 * 1024;
// A status file is a few KB; one grown past this was not written by a translator.
constexpr std::size_t kStatusFileBound = 256 * 1024;

// The file's last limit bytes, from the first whole line among them; empty
// when it cannot be read. cut says whether anything was left out.
std::string Tail(const std::string& path, std::size_t limit, bool* cut = nullptr) {
    std::string bytes;
    const bool longer = ReadWholeFile(path, bytes) && bytes.size() > limit;
    if (cut) *cut = longer;
    if (!longer) return bytes;
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

bool IsWordCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
}

// Every occurrence of the client id that stands as a word of its own (not
// inside a longer name or number): a short id must not eat every log line.
void ConcealClientId(std::string& text, const std::string& clientId) {
    if (clientId.empty()) return;
    for (std::size_t at = text.find(clientId); at != std::string::npos; at = text.find(clientId, at)) {
        const std::size_t end = at + clientId.size();
        const bool alone = (at == 0 || !IsWordCharacter(text[at - 1]) || !IsWordCharacter(clientId.front())) &&
                           (end == text.size() || !IsWordCharacter(text[end]) || !IsWordCharacter(clientId.back()));
        if (!alone) {
            ++at;
            continue;
        }
        text.replace(at, clientId.size(), kRemoved);
        at += sizeof kRemoved - 1;
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

// What is installed where: the MSI product (the values its installation
// writes under the product's key), this folder, the data folder, and the
// folder the class is registered from.
nlohmann::json Installation(const CheckReport& report) {
    nlohmann::json installation = {{"this_folder", ModuleDirectory()}, {"data_folder", DataDirectory()}};
    const std::string productCode = InstalledProductValue("ProductCode");
    installation["msi_product"] =
        productCode.empty()
            ? nlohmann::json(nullptr)
            : nlohmann::json{{"product_code", productCode},
                             {"version", InstalledProductValue("Version")},
                             {"install_folder", InstalledProductValue("InstallFolder")},
                             {"data_folder", InstalledProductValue("DataFolder")}};
    installation["recorded_install_folder"] = InstalledProductValue("InstallFolder");
    const StepResult* registration = report.Find("registration");
    const std::string registered = registration ? registration->data.value("inproc_server", "") : "";
    installation["registered_dll"] = registered;
    const std::size_t slash = registered.find_last_of('\\');
    installation["registered_folder"] = slash == std::string::npos ? std::string() : registered.substr(0, slash);
    installation["registered_version"] = registration ? registration->data.value("registered_version", "") : "";
    return installation;
}

// WinHTTP's own proxy setting (netsh winhttp), the one the translator's
// requests go through.
nlohmann::json ProxyConfiguration() {
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetDefaultProxyConfiguration(&info)) {
        return {{"error", ::GetLastError()}};
    }
    // The strings are the caller's to free with GlobalFree.
    struct GlobalFreer {
        void operator()(wchar_t* text) const { ::GlobalFree(text); }
    };
    const std::unique_ptr<wchar_t, GlobalFreer> proxyText(info.lpszProxy), bypassText(info.lpszProxyBypass);
    const std::string proxy = proxyText ? tly::WideToUtf8(proxyText.get()) : std::string();
    const std::string bypass = bypassText ? tly::WideToUtf8(bypassText.get()) : std::string();
    const char* access = info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY      ? "no_proxy"
                         : info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? "named_proxy"
                                                                                : "default";
    return {{"source", "WinHttpGetDefaultProxyConfiguration"},
            {"access_type", access},
            {"access_type_value", info.dwAccessType},
            {"proxy", proxy},
            {"bypass", bypass}};
}

std::string TimeText(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

// The time zone, this machine's clocks, and how far the server's clock is
// from them when the status step heard it.
nlohmann::json ClockReading(const CheckReport& report) {
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    const DWORD zoneState = ::GetDynamicTimeZoneInformation(&zone);
    SYSTEMTIME local{}, utc{};
    ::GetLocalTime(&local);
    ::GetSystemTime(&utc);
    nlohmann::json clock = {
        {"time_zone",
         {{"key_name", tly::WideToUtf8(zone.TimeZoneKeyName)},
          {"standard_name", tly::WideToUtf8(zone.StandardName)},
          {"daylight_name", tly::WideToUtf8(zone.DaylightName)},
          {"bias_minutes", zone.Bias},
          {"daylight_saving_now", zoneState == TIME_ZONE_ID_DAYLIGHT},
          {"automatic_daylight_saving", !zone.DynamicDaylightTimeDisabled}}},
        {"local_time", TimeText(local)},
        {"utc_time", TimeText(utc) + "Z"}};
    const StepResult* status = report.Find("status");
    if (status && status->data.contains("clock_offset_seconds")) {
        clock["server_time"] = status->data["server_time"];
        clock["server_clock_offset_seconds"] = status->data["clock_offset_seconds"];
    } else {
        clock["server_clock_offset_seconds"] = nullptr;
        clock["server_clock"] = "the server did not tell its time (its status step did not pass)";
    }
    return clock;
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
    // The live status of each translator process, as it wrote it and as the
    // check judged it now (a process gone, a heartbeat gone quiet).
    const std::vector<StatusEntry> statuses = ReadStatuses(DataDirectory(), StatusNowUtc());
    add("status.json", StatusJson(statuses, DataDirectory()),
        "the live status of each translator process and whether it is stale (tallyport-check --status --json)");
    for (const StatusEntry& status : statuses) {
        std::string bytes;
        if (!ReadWholeFile(DataDirectory() + "\\" + status.file, bytes)) continue;
        if (bytes.size() > kStatusFileBound) bytes.resize(kStatusFileBound);
        add(status.file, std::move(bytes), "the live status file as the translator process wrote it");
    }
    // Only files of this log go in: the settings may name any file the
    // account can read, and a refused name leads the log elsewhere anyway.
    const std::string log = ChooseLogFile(settings).path;
    std::size_t logBudget = kLogsTail;
    for (unsigned n = 0; n <= static_cast<unsigned>(std::max(settings.max_log_files, 0)) && logBudget > 0; ++n) {
        const std::string path = n == 0 ? log : RotatedLogName(log, n);
        const std::string member = n == 0 ? "tly_translator.log" : "tly_translator." + std::to_string(n) + ".log";
        if (tly::InspectLogFile(path) != tly::LogFileKind::Own) {
            if (n == 0) contents += member + ": left out, " + path + " is missing, empty or not a file of this log\n";
            continue;
        }
        bool cut = false;
        std::string tail = Tail(path, logBudget, &cut);
        // A file cut short used up the bound: an older one would leave a gap.
        logBudget = cut ? 0 : logBudget - std::min(logBudget, tail.size());
        add(member, std::move(tail), (n == 0 ? "the end of " : "the end of the rotated ") + path);
    }
    const std::string bootstrap = DataDirectory() + "\\tly_translator_bootstrap.log";
    add("tly_translator_bootstrap.log", Tail(bootstrap, kBootstrapTail), "the last 1 MB of " + bootstrap);

    add("installation.json", Installation(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
        "the MSI product if installed (code, version, folders), this folder, the data folder and the DLL the class "
        "is registered from");
    add("proxy.json", ProxyConfiguration().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
        "WinHTTP's proxy setting, which the translator's requests use");
    add("clock.json", ClockReading(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n",
        "the time zone, this machine's clock and the server clock's offset from it");

    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    FILETIME stamp{};
    WORD dosDate = 0, dosTime = 0;
    ::SystemTimeToFileTime(&now, &stamp);
    ::FileTimeToDosDateTime(&stamp, &dosDate, &dosTime);
    ZipArchive archive;
    // Replaced in every member, the report and the logs too: the secret
    // wherever it appears, the client id wherever it stands as a word.
    Conceal(contents, secrets);
    ConcealClientId(contents, settings.client_id);
    archive.Add("README.txt", contents, dosDate, dosTime);
    for (Entry& entry : entries) {
        Conceal(entry.bytes, secrets);
        ConcealClientId(entry.bytes, settings.client_id);
        archive.Add(entry.name, entry.bytes, dosDate, dosTime);
    }
    return WriteFileWhole(zipPath, archive.Bytes(), error);
}
