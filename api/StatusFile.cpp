#include "api/StatusFile.h"

#include "platform/JsonRead.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Empty text is written as null, so a script tells "never" from a value.
nlohmann::json TextOrNull(const std::string& text) { return text.empty() ? nlohmann::json() : nlohmann::json(text); }

std::string TextOf(const nlohmann::json& object, const char* key) {
    const nlohmann::json* member = json_read::Member(object, key);
    if (!member || member->is_null()) return {};
    return json_read::String(object, key);
}

template <typename Integer>
Integer CountOf(const nlohmann::json& object, const char* key) {
    if (!json_read::Member(object, key)) throw std::runtime_error(std::string("member '") + key + "' is missing");
    return json_read::ExactInteger<Integer>(object, key);
}

}  // namespace

std::string StatusFileName(std::uint32_t processId) {
    return kStatusFilePrefix + std::to_string(processId) + kStatusFileSuffix;
}

std::uint32_t StatusFileProcessId(const std::string& name) {
    const std::string prefix = kStatusFilePrefix;
    const std::string suffix = kStatusFileSuffix;
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return 0;
    }
    const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const unsigned long long id = std::strtoull(digits.c_str(), nullptr, 10);
    return id > 0xFFFFFFFFull ? 0 : static_cast<std::uint32_t>(id);
}

bool StatusProcessRuns(std::uint32_t processId) {
    tly::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return ::GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to open
    return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

std::string StatusTime(const SYSTEMTIME& utc) {
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond);
    return text;
}

std::string RenderStatus(const StatusReport& report) {
    nlohmann::json panels = nlohmann::json::array();
    for (const PanelStatus& p : report.panels) {
        panels.push_back({{"panel_id", p.panelId},
                          {"link", p.link},
                          {"link_since", TextOrNull(p.linkSince)},
                          {"last_loss_cause", TextOrNull(p.lastLossCause)},
                          {"last_loss_cause_text", TextOrNull(p.lastLossCauseText)},
                          {"last_loss_at", TextOrNull(p.lastLossAt)},
                          {"last_activity_id", p.lastActivityId == 0 ? nlohmann::json() : nlohmann::json(p.lastActivityId)},
                          {"last_activity_at", TextOrNull(p.lastActivityAt)},
                          {"delivered_today", p.deliveredToday},
                          {"marked_today", p.markedToday},
                          {"refused", p.refused},
                          {"held_back", p.heldBack},
                          {"taken_unmarked", p.takenUnmarked},
                          {"event_channel", p.eventChannel},
                          {"last_status_request", TextOrNull(p.lastStatusRequest)}});
    }
    const ProcessStatus& process = report.process;
    const nlohmann::json document = {{"format", report.format},
                                     {"process",
                                      {{"version", process.version},
                                       {"started", process.started},
                                       {"process_id", process.processId},
                                       {"settings", process.settings},
                                       {"settings_reason", TextOrNull(process.settingsReason)},
                                       {"journal_bytes", process.journalBytes},
                                       {"heartbeat", process.heartbeat}}},
                                     {"panels", panels}};
    // Invalid UTF-8 in a cause text is replaced, never a reason to write nothing.
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool ParseStatus(const std::string& text, StatusReport& report, std::string& reason) {
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        reason = "not JSON (damaged, or cut short)";
        return false;
    }
    try {
        StatusReport read;
        json_read::Object(document);
        read.format = CountOf<int>(document, "format");
        if (read.format != kStatusFormat) {
            reason = "format " + std::to_string(read.format) + " is not one this check reads";
            return false;
        }
        const nlohmann::json* process = json_read::Member(document, "process");
        if (!process) throw std::runtime_error("member 'process' is missing");
        json_read::Object(*process);
        read.process.version = TextOf(*process, "version");
        read.process.started = TextOf(*process, "started");
        read.process.processId = CountOf<std::uint32_t>(*process, "process_id");
        read.process.settings = TextOf(*process, "settings");
        read.process.settingsReason = TextOf(*process, "settings_reason");
        const std::int64_t journalBytes = CountOf<std::int64_t>(*process, "journal_bytes");
        if (journalBytes < 0) throw std::runtime_error("member 'journal_bytes' is negative");
        read.process.journalBytes = static_cast<std::uint64_t>(journalBytes);
        read.process.heartbeat = TextOf(*process, "heartbeat");
        const nlohmann::json* panels = json_read::Member(document, "panels");
        if (!panels) throw std::runtime_error("member 'panels' is missing");
        for (const nlohmann::json& item : json_read::Array(*panels)) {
            json_read::Object(item);
            PanelStatus p;
            p.panelId = CountOf<std::int32_t>(item, "panel_id");
            p.link = TextOf(item, "link");
            p.linkSince = TextOf(item, "link_since");
            p.lastLossCause = TextOf(item, "last_loss_cause");
            p.lastLossCauseText = TextOf(item, "last_loss_cause_text");
            p.lastLossAt = TextOf(item, "last_loss_at");
            const nlohmann::json* lastId = json_read::Member(item, "last_activity_id");
            p.lastActivityId = lastId && !lastId->is_null() ? json_read::ExactInteger<std::int32_t>(item, "last_activity_id") : 0;
            p.lastActivityAt = TextOf(item, "last_activity_at");
            p.deliveredToday = CountOf<std::uint32_t>(item, "delivered_today");
            p.markedToday = CountOf<std::uint32_t>(item, "marked_today");
            p.refused = CountOf<std::uint32_t>(item, "refused");
            p.heldBack = CountOf<std::uint32_t>(item, "held_back");
            p.takenUnmarked = CountOf<std::uint32_t>(item, "taken_unmarked");
            p.eventChannel = TextOf(item, "event_channel");
            p.lastStatusRequest = TextOf(item, "last_status_request");
            read.panels.push_back(std::move(p));
        }
        report = std::move(read);
        return true;
    } catch (const std::exception& e) {
        reason = e.what();
        return false;
    }
}
