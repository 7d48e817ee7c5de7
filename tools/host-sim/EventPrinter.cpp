#include "tools/host-sim/EventPrinter.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace hostsim {
namespace {

std::string Utf8(BSTR text) {
    if (!text) return {};
    const int length = static_cast<int>(::SysStringLen(text));
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), needed, nullptr, nullptr);
    return out;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

}  // namespace

std::string HostTimeText(std::uint32_t seconds) {
    if (seconds == 0xFFFFFFFFu) return "none";
    // Civil date from days since 1970 (proleptic Gregorian).
    const std::int64_t days = seconds / 86400;
    const std::uint32_t secondOfDay = seconds % 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(z - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    char text[32];
    std::snprintf(text, sizeof(text), "%04lld-%02u-%02uT%02u:%02u:%02u", static_cast<long long>(year), month, day,
                  secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    return text;
}

void EventPrinter::Event(std::int32_t sinkPanel, const _ORSMESSAGEEX& record, BSTR text, long value) {
    const auto& card = record.su_EventData.us_DataCA;
    const auto& status = record.su_EventData.us_StatusRequest;
    const bool hasText = text != nullptr;
    if (json_) {
        nlohmann::json line = {
            {"kind", "event"},
            {"sink_panel", sinkPanel},
            {"size", record.sl_Size},
            {"panel", record.ss_AccessPanelID},
            {"serial", record.sl_SerialNumber},
            {"message_type", record.sb_MessageType},
            {"event_type", record.sb_EventType},
            {"event_id", record.sb_EventID},
            {"device_id", record.sb_DeviceID},
            {"data_type", record.sb_EventDataType},
            {"associated_text", record.sb_AssociatedText},
            {"time", record.sl_Time},
            {"time_text", HostTimeText(record.sl_Time)},
            {"value", value},
            {"text", hasText ? nlohmann::json(Utf8(text)) : nlohmann::json(nullptr)},
        };
        if (record.sb_EventDataType == 2) {
            line["card_number"] = card.sl_CardNumber;
            line["issue_code"] = card.sl_IssueCode;
            line["bio_score"] = card.sl_BioScore;
        } else if (record.sb_EventDataType == 19) {
            line["status_type"] = status.sl_StatusType;
            line["status"] = status.sl_Status;
        }
        Write(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    std::string line = "event  sink=" + std::to_string(sinkPanel) + " panel=" +
                       std::to_string(record.ss_AccessPanelID) + " serial=" + std::to_string(record.sl_SerialNumber) +
                       " message=" + std::to_string(record.sb_MessageType) +
                       " type=" + std::to_string(record.sb_EventType) + " id=" + std::to_string(record.sb_EventID) +
                       " device=" + std::to_string(record.sb_DeviceID) +
                       " data=" + std::to_string(record.sb_EventDataType);
    if (record.sb_EventDataType == 2) {
        line += " card=" + std::to_string(card.sl_CardNumber) + " issue=" + Hex(card.sl_IssueCode);
    } else if (record.sb_EventDataType == 19) {
        line += " status_type=" + std::to_string(status.sl_StatusType) + " status=" + std::to_string(status.sl_Status);
    }
    line += " time=" + HostTimeText(record.sl_Time);
    if (hasText) line += " text=\"" + Utf8(text) + "\"";
    Write(line);
}

void EventPrinter::Status(std::int32_t panel, bool panelOnline, const std::vector<std::int32_t>& readersOnline) {
    if (json_) {
        Write(nlohmann::json({{"kind", "status"},
                              {"panel", panel},
                              {"panel_online", panelOnline},
                              {"readers_online", readersOnline}})
                  .dump());
        return;
    }
    std::string readers;
    for (std::int32_t reader : readersOnline) readers += (readers.empty() ? "" : ",") + std::to_string(reader);
    Write("status panel=" + std::to_string(panel) + " online=" + (panelOnline ? "1" : "0") + " readers=[" + readers +
          "]");
}

void EventPrinter::Call(std::int32_t panel, const char* method, HRESULT result) {
    const std::string hr = Hex(static_cast<std::uint32_t>(result));
    if (json_) {
        Write(nlohmann::json({{"kind", "call"}, {"panel", panel}, {"method", method}, {"hr", hr}}).dump());
        return;
    }
    Write("call   panel=" + std::to_string(panel) + " " + method + " -> " + hr);
}

void EventPrinter::Note(std::int32_t panel, const std::string& message) {
    if (json_) {
        Write(nlohmann::json({{"kind", "note"}, {"panel", panel}, {"message", message}})
                  .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    Write("note   panel=" + std::to_string(panel) + " " + message);
}

void EventPrinter::CallbackFault(std::int32_t sinkPanel, const char* what, std::int64_t cardNumber) {
    if (json_) {
        Write(nlohmann::json({{"kind", what}, {"sink_panel", sinkPanel}, {"card_number", cardNumber}}).dump());
        return;
    }
    std::string line = what;
    line.resize(std::max<size_t>(line.size(), 6), ' ');
    Write(line + " sink=" + std::to_string(sinkPanel) + " card=" + std::to_string(cardNumber));
}

void EventPrinter::Write(const std::string& line) {
    tly::MutexLock guard(lock_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace hostsim
