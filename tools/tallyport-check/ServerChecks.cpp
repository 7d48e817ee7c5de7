#include "tools/tallyport-check/ServerChecks.h"

#include "api/SiteRecords.h"
#include "logging/LogFileChoice.h"
#include "platform/CivilTime.h"
#include "platform/Clock.h"
#include "platform/JsonDocument.h"
#include "platform/JsonRead.h"
#include "transport/ServerCertificateProbe.h"
#include "tools/tallyport-check/UnsavedPin.h"
#include "transport/TLYWebSocket.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace {

constexpr std::size_t kLongestQuotedAnswer = 200;

std::string Quoted(std::string text) {
    if (text.size() > kLongestQuotedAnswer) text = text.substr(0, kLongestQuotedAnswer) + "...";
    return text;
}

std::string Endpoint(const TranslatorSettings& settings) {
    return settings.hostname + ":" + std::to_string(settings.port);
}

}  // namespace

StepResult CheckCertificate(const TranslatorSettings& settings, std::string& expectedThumbprint) {
    constexpr char kStep[] = "tls";
    const ServerCertificateProbe probe =
        ProbeServerCertificate(settings.hostname, static_cast<std::uint16_t>(settings.port), settings.validate_cert);
    const std::string& actual = probe.thumbprint;
    StepResult result;
    std::optional<UnsavedPin> unsaved;
    if (!probe.handshake || actual.empty()) {
        result = StepResult::Failed(kStep, "tls_failed",
                                    "no TLS session with " + Endpoint(settings) + " (error=" +
                                        std::to_string(probe.error) + ")",
                                    "make sure \"server\".\"port\" is the server's HTTPS port and nothing between "
                                    "this machine and the server intercepts TLS");
    } else if (settings.validate_cert && !probe.chainValid) {
        result = StepResult::Failed(kStep, "certificate_untrusted",
                                    "certificate " + actual + " does not validate on this machine (error=" +
                                        std::to_string(probe.error) + ")",
                                    "install the issuing authority among this machine's trusted roots and use the "
                                    "name in the certificate as \"hostname\", or set \"validate_cert\" to false to "
                                    "pin the certificate instead");
    } else if (settings.validate_cert) {
        result = StepResult::Passed(kStep, "certificate " + actual + " validates on this machine");
    } else if (settings.cert_thumbprint.empty()) {
        expectedThumbprint = actual;
        unsaved = FindUnsavedPin(ChooseLogFile(settings).path);
        if (unsaved) {
            result = StepResult::Failed(
                kStep, "pin_not_saved",
                "the translator pinned certificate " + unsaved->thumbprint + " at " + unsaved->timestamp +
                    " but could not save the pin to the settings file" +
                    (unsaved->reason.empty() ? std::string() : " (" + unsaved->reason + ")") +
                    "; the server now presents " + actual,
                "give the host's account write access to the settings file, or set \"cert_thumbprint\" to " +
                    unsaved->thumbprint + " once you know it is the server's: until then the host trusts whatever "
                    "certificate it meets first after a restart");
        } else {
            result = StepResult::Passed(kStep, "certificate " + actual +
                                                   " is not pinned yet: the translator pins it at its first connection");
        }
    } else if (settings.cert_thumbprint == actual) {
        expectedThumbprint = actual;
        result = StepResult::Passed(kStep, "certificate " + actual + " matches the pinned thumbprint");
    } else {
        result = StepResult::Failed(kStep, "thumbprint_mismatch",
                                    "the server presents certificate " + actual + ", the settings pin " +
                                        settings.cert_thumbprint,
                                    "if the server's certificate was replaced on purpose, empty \"cert_thumbprint\" "
                                    "in the settings file and the translator pins the new one; otherwise find out "
                                    "what answers on " + Endpoint(settings));
    }
    result.data = {{"thumbprint", actual},
                   {"pinned", settings.cert_thumbprint},
                   {"validate_cert", settings.validate_cert},
                   {"chain_valid", probe.chainValid}};
    if (unsaved) result.data["unsaved_pin"] = unsaved->thumbprint;
    return result;
}

StepResult CheckCredentials(TLYRestClient& client, const TranslatorSettings& settings,
                            const std::string& expectedThumbprint) {
    constexpr char kStep[] = "oauth";
    if (!client.Initialize(settings.hostname, static_cast<std::uint16_t>(settings.port), settings.validate_cert)) {
        return StepResult::Failed(kStep, "oauth_failed", "the HTTP client cannot be set up for " + Endpoint(settings),
                                  "check \"server\".\"hostname\"");
    }
    // Held to the certificate just examined, so the secret goes to no other server.
    client.SetPinnedThumbprint(settings.validate_cert ? std::string() : expectedThumbprint);
    const bool accepted = client.Authenticate(settings.client_id, settings.client_secret);
    const std::uint32_t status = client.LastAuthenticationStatus();
    StepResult result;
    if (accepted) {
        result = StepResult::Passed(kStep, "the server accepted client id " + settings.client_id + " and issued a token");
    } else if (status == 401) {
        result = StepResult::Failed(kStep, "credentials_rejected",
                                    "the server rejected client id " + settings.client_id + " and its secret (HTTP 401)",
                                    "check \"client_id\" and \"client_secret\" against the OAuth client set up on the "
                                    "server");
    } else {
        result = StepResult::Failed(kStep, "oauth_failed",
                                    status == 0 ? "the token request got no answer"
                                                : "the token request failed with HTTP " + std::to_string(status),
                                    "see the server's log for its token endpoint \"/auth/token\"");
    }
    result.data = {{"status_code", status}};
    return result;
}

namespace {

// "1 d 2 h 5 min 7 s" for a number of seconds (without sign).
std::string Duration(std::int64_t seconds) {
    std::string text;
    const auto part = [&](std::int64_t value, const char* unit) {
        if (value == 0) return;
        text += (text.empty() ? "" : " ") + std::to_string(value) + " " + unit;
    };
    part(seconds / 86400, "d");
    part(seconds / 3600 % 24, "h");
    part(seconds / 60 % 60, "min");
    part(seconds % 60, "s");
    return text.empty() ? "0 s" : text;
}

}  // namespace

StepResult CheckStatus(TLYRestClient& client) {
    constexpr char kStep[] = "status";
    std::string response;
    std::uint32_t status = 0;
    if (!client.Get("/status", response, status)) {
        StepResult result = StepResult::Failed(kStep, "status_failed", "\"/status\" failed: " + Quoted(response),
                                               "the server is up but not healthy: see its log");
        result.data = {{"status_code", status}};
        return result;
    }
    // The server says what time it is: a clock that differs by more than a
    // little makes the two sides' times of the same event disagree.
    const nlohmann::json body = tly::ParseJsonOrDiscard(response);
    const auto serverTime = body.is_object() ? body.find("server_time") : body.end();
    std::int64_t serverSeconds = 0;
    if (!body.is_object() || serverTime == body.end() || !serverTime->is_string() ||
        !tly::ParseUtcTimestamp(serverTime->get<std::string>(), serverSeconds)) {
        StepResult result = StepResult::Passed(kStep, "\"/status\" answered 200 (without a server time)");
        result.data = {{"status_code", status}};
        return result;
    }
    const std::int64_t offset = serverSeconds - tly::SecondsSince1970(tly::CurrentClock().UtcTime());
    const std::string serverText = serverTime->get<std::string>();
    StepResult result =
        offset > kLargestClockOffsetSeconds || offset < -kLargestClockOffsetSeconds
            ? StepResult::Warned(kStep, "clock_skew",
                                 "\"/status\" answered 200, but the server's clock (" + serverText + ") is " +
                                     Duration(offset < 0 ? -offset : offset) + (offset < 0 ? " behind" : " ahead of") +
                                     " this machine's (UTC)",
                                 "set the clock of this machine or of the server right (both synchronised with a "
                                 "time server, this machine's time zone correct): the log's times and the server's "
                                 "disagree by as much")
            : StepResult::Passed(kStep, "\"/status\" answered 200; the server's clock is within " +
                                            std::to_string(kLargestClockOffsetSeconds / 60) +
                                            " minutes of this machine's");
    result.data = {{"status_code", status}, {"server_time", serverText}, {"clock_offset_seconds", offset}};
    return result;
}

StepResult CheckEventChannel(const TLYRestClient& client, const TranslatorSettings& settings,
                             const std::string& expectedThumbprint) {
    constexpr char kStep[] = "websocket";
    TLYWebSocket channel;
    const bool opened = channel.Connect(settings.hostname, static_cast<std::uint16_t>(settings.port),
                                        client.AccessToken(), settings.validate_cert,
                                        settings.validate_cert ? std::string() : expectedThumbprint);
    channel.Close();
    if (opened) return StepResult::Passed(kStep, "the event channel \"/api/corvanta/events\" opened");
    return StepResult::Failed(kStep, "websocket_refused",
                              "the WebSocket upgrade of \"/api/corvanta/events\" was refused or failed",
                              "let WebSocket upgrades through every proxy and firewall to the server; without the "
                              "channel the translator still works, but events arrive only with the host's polls");
}

namespace {

// One document from the server; false with the problem when it cannot be had.
bool FetchDocument(TLYRestClient& client, const std::string& endpoint, nlohmann::json& body, std::string& problem) {
    std::string response;
    std::uint32_t status = 0;
    if (!client.Get(endpoint, response, status)) {
        problem = endpoint + ": " + Quoted(response);
        return false;
    }
    body = tly::ParseJsonOrDiscard(response);
    if (body.is_discarded()) problem = endpoint + " did not answer JSON";
    return !body.is_discarded();
}

// A site list read with the translator's own readers.
template <typename Record, typename ReadElement>
bool FetchList(TLYRestClient& client, const std::string& endpoint, const char* member, ReadElement read,
               std::vector<Record>& out, std::string& problem) {
    nlohmann::json body;
    if (!FetchDocument(client, endpoint, body, problem)) return false;
    try {
        for (const nlohmann::json& element : ElementsOf(body, member)) out.push_back(read(element));
        return true;
    } catch (const std::exception& e) {
        problem = endpoint + " cannot be read: " + e.what();
        return false;
    }
}

// The activities waiting for the panel: this batch and those the server says remain.
bool CountWaiting(TLYRestClient& client, std::int32_t panel, std::int64_t& waiting, std::string& problem) {
    const std::string endpoint = "/pending_activities/" + std::to_string(panel);
    nlohmann::json body;
    if (!FetchDocument(client, endpoint, body, problem)) return false;
    try {
        waiting = static_cast<std::int64_t>(ElementsOf(body, "activities").size()) +
                  json_read::Int64(body, "remaining_count");
        return true;
    } catch (const std::exception& e) {
        problem = endpoint + " cannot be read: " + e.what();
        return false;
    }
}

}  // namespace

StepResult CheckPanel(TLYRestClient& client, std::int32_t panel) {
    constexpr char kStep[] = "panel";
    const std::string name = "panel " + std::to_string(panel);
    std::vector<ReaderInfo> readers;
    std::vector<DoorInfo> doors;
    std::vector<HandheldInfo> handhelds;
    std::int64_t waiting = 0;
    std::string problem;
    if (!FetchList(client, "/panels/" + std::to_string(panel) + "/readers", "readers", ReadReader, readers, problem) ||
        !FetchList(client, "/doors", "doors", ReadDoor, doors, problem) ||
        !FetchList(client, "/handhelds", "handhelds", ReadHandheld, handhelds, problem) ||
        !CountWaiting(client, panel, waiting, problem)) {
        return StepResult::Failed(kStep, "site_data_failed", name + ": " + problem, "see the server's log for the request named");
    }

    // The panel's share of the site: its readers, the doors they stand at, and
    // the handhelds those readers are.
    auto isPanelReader = [&](auto predicate) { return std::any_of(readers.begin(), readers.end(), predicate); };
    std::erase_if(doors, [&](const DoorInfo& d) {
        return !isPanelReader([&](const ReaderInfo& r) {
            return r.door_id == d.id || r.id == d.external_entry_reader_id || r.id == d.external_exit_reader_id;
        });
    });
    std::erase_if(handhelds, [&](const HandheldInfo& h) {
        return !isPanelReader([&](const ReaderInfo& r) {
            return (!h.guid.empty() && r.guid == h.guid) || (!h.external_id.empty() && r.external_id == h.external_id);
        });
    });

    const std::string counts = name + ": " + Counted(readers.size(), "reader") + ", " + Counted(doors.size(), "door") +
                               ", " + Counted(handhelds.size(), "handheld") + "; " +
                               std::to_string(waiting) + (waiting == 1 ? " activity" : " activities") + " waiting";
    StepResult result = readers.empty()
                            ? StepResult::Failed(kStep, "panel_empty", name + ": the server has no readers for it",
                                                 "the host's panel id must be the number before the colon of the "
                                                 "readers' external ids on the server")
                            : StepResult::Passed(kStep, counts);
    nlohmann::json readerData = nlohmann::json::array();
    for (const ReaderInfo& r : readers) {
        result.listing.push_back("reader " + r.external_id + " \"" + r.name + "\" (id " + std::to_string(r.id) +
                                 ", door " + std::to_string(r.door_id) + ")");
        readerData.push_back({{"id", r.id}, {"external_id", r.external_id}, {"name", r.name}, {"door_id", r.door_id}});
    }
    nlohmann::json doorData = nlohmann::json::array();
    for (const DoorInfo& d : doors) {
        result.listing.push_back("door " + std::to_string(d.id) + " \"" + d.name + "\"");
        doorData.push_back({{"id", d.id}, {"name", d.name}});
    }
    nlohmann::json handheldData = nlohmann::json::array();
    for (const HandheldInfo& h : handhelds) {
        result.listing.push_back("handheld " + std::to_string(h.id) + " \"" + h.name + "\" (door " +
                                 std::to_string(h.door_id) + ")");
        handheldData.push_back({{"id", h.id}, {"name", h.name}, {"door_id", h.door_id}});
    }
    result.data = {{"panel", panel},
                   {"readers", readerData},
                   {"doors", doorData},
                   {"handhelds", handheldData},
                   {"pending_activities", waiting}};
    return result;
}
