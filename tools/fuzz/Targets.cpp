#include "tools/fuzz/Targets.h"

#include "api/DeliveryJournal.h"
#include "api/PendingBatch.h"
#include "api/PlainPendingBatch.h"
#include "api/SiteRecords.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "platform/JsonDocument.h"
#include "settings/LegacySettings.h"
#include "settings/SettingsFile.h"
#include "tools/fuzz/SentValues.h"
#include "transport/TLYRestClient.h"
#include "translator/badges/BadgeEventFile.h"

#include <windows.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <tuple>

namespace fuzz {
namespace {

using nlohmann::json;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Shown(const std::string& input) {
    std::string shown = input.substr(0, 200);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    }
    return shown + (input.size() > 200 ? "..." : "");
}

template <typename Record>
void CheckSiteList(const std::string& input, const char* member, Record (*read)(const json&),
                   const std::vector<std::pair<const char*, std::int32_t Record::*>>& ids, Findings& findings) {
    const json body = tly::ParseJson(input);
    const json& elements = ElementsOf(body, member);
    for (const json& element : elements) {
        const Record record = read(element);
        for (const auto& [key, field] : ids) {
            if (!AsSent(element, key, record.*field, false)) {
                findings.changed.push_back(std::string(member) + "." + key + " read as " +
                                           std::to_string(record.*field) + " from " + Shown(element.dump()));
            }
        }
    }
}

Target SiteListTarget(const std::string& name, const json& sample, std::function<void(const std::string&, Findings&)> check) {
    return Target{name, [sample](Mutator& m) { return m.MutateJson(sample); },
                  [check](const std::string& input, Findings& findings) {
                      try {
                          check(input, findings);
                          return true;
                      } catch (const std::exception&) {
                          return false;  // the list's parse failure path
                      }
                  }};
}

const json kSettingsSeed = json::parse(R"({
  "version": 2,
  "server": {"hostname": "127.0.0.1", "port": 8443, "client_id": "corvanta", "client_secret": "s3cret",
             "validate_cert": false, "cert_thumbprint": "AB:CD"},
  "logging": {"level": "none", "file_name": "tly_translator.log", "max_log_size_mb": 10, "max_log_files": 5},
  "debug": {"plaintext_secret": true},
  "custom": {"kept": [1, 2, {"x": "y"}]}
})");

const char kLegacySeed[] = "hostname,127.0.0.1\r\nport,8443\r\nclient_id,corvanta\r\nclient_secret,s3cret\r\n"
                           "validate_cert,false\r\ndebug,true\r\n";

const json kTokenSeed = json::parse(R"({"access_token":"tok-123","token_type":"Bearer","expires_in":3600})");

// A journal with something in each of its parts, for the mutations to work on.
std::string JournalSeed() {
    std::string bytes(journal::kFileSize, '\0');
    auto* image = reinterpret_cast<unsigned char*>(&bytes[0]);
    journal::WriteEmptyImage(image);
    journal::ActivityRecord record{};
    record.state = journal::kUnderWay;
    record.panelId = 1;
    record.admId = 101;
    record.badgeNo = 4711;
    record.sequence = 9;
    record.textLength = 12;
    std::memcpy(record.text, "{\"adm_id\":101}", 12);
    std::memcpy(image + journal::kUnderWayOffset, &record, sizeof record);
    record.state = journal::kHeldBack;
    record.crashes = 2;
    std::memcpy(image + journal::kSuspectsOffset + sizeof record, &record, sizeof record);
    const journal::TakenRecord taken{journal::kTaken, 1, 102, 0};
    std::memcpy(image + journal::kTakenOffset + 3 * sizeof taken, &taken, sizeof taken);
    // One extent of each kind after the base part, as a grown file has them.
    const auto appendExtent = [&bytes](std::uint32_t kind, std::uint32_t slots, const void* first, std::size_t size) {
        const journal::ExtentHeader header{kind, slots, {0, 0}};
        const std::size_t at = bytes.size();
        bytes.resize(at + journal::ExtentBytes(kind, slots), '\0');
        std::memcpy(&bytes[at], &header, sizeof header);
        std::memcpy(&bytes[at + sizeof header], first, size);
    };
    const journal::TakenRecord grownTaken{journal::kTaken, 2, 103, 0};
    appendExtent(journal::kTakenExtent, 4, &grownTaken, sizeof grownTaken);
    record.admId = 104;
    appendExtent(journal::kSuspectExtent, 1, &record, sizeof record);
    return bytes;
}

const json kBatchSeed = json::parse(R"({"activities":[
  {"adm_id":101,"activity_type":0,"badge_no":4294967301,"reader_external_id":"1:2","door_name":"Gate",
   "reader_name":"R2","timestamp":"2024-01-02T03:04:05Z","entry_granted":false,"notes":"Card expired"},
  {"adm_id":102,"activity_type":3,"badge_no":4711,"reader_external_id":"1:7","door_name":"Gate 2",
   "timestamp":"2024-05-01T08:30:00","source_type":4,"alarm_description":"d","alarm_full_text":""},
  {"adm_id":103,"badge_no":-5,"reader_external_id":"1:3","entry_granted":true,"notes":"ok"}],
  "remaining_count":2})");

const json kMessageSeeds[] = {
    json::parse(R"({"type":"reader_connected","reader":{"guid":"G1","name":"HH1","id":100,"door_id":3,"external_id":"4:2"}})"),
    json::parse(R"({"type":"reader_disconnected","reader":{"guid":"G1","name":"HH1","id":100}})"),
    json::parse(R"({"type":"reader_door_changed","reader":{"guid":"G1","id":100,"old_door_id":3,"new_door_id":5}})"),
    json::parse(R"({"type":"heartbeat"})"),
    json::parse(R"({"type":"activities_available"})"),
};

const json kBadgeSeed = json::parse(R"([
  {"panel_id":1,"reader_id":2,"card_number":4294967301,"type":"granted","timestamp":"2024-01-02T03:04:05"},
  {"panel_id":1,"reader_id":3,"card_number":77,"type":"denied","deny_reason":"expired"},
  {"panel_id":1,"reader_id":4,"card_number":78,"event_type":1,"event_id":24},
  {"panel_id":2,"reader_id":1,"card_number":9}])");

void InstallDispatchSite() {
    TLYApiImpl::Instance().ReplaceSiteForTesting(
        {{3, "Gate", "D3", 7, 8}, {5, "Dock", "D5", 9, 10}}, {{100, "HH1", "G1", "4:2", 3}},
        {{20, "4:2", "R2", "G1", 3}, {7, "4:7", "Entry", "", 3}, {8, "4:8", "Exit", "", 3}}, {});
}

}  // namespace

std::vector<Target> AllTargets(const std::string& dir) {
    std::vector<Target> targets;
    const std::string settingsPath = dir + "\\tallyport_settings.json";

    targets.push_back({"settings", [](Mutator& m) { return m.MutateJson(kSettingsSeed); },
                       [settingsPath](const std::string& input, Findings& findings) {
                           WriteFile(settingsPath, input);
                           TranslatorSettings settings;
                           bool read = false;
                           try {
                               read = ReadSettingsJson(settingsPath, settings);
                           } catch (const SettingsTypeError&) {
                               // a wrongly typed member: the documented failure
                           }
                           // Rewriting a member (as protecting the secret does)
                           // must neither overflow the stack nor blow the file up.
                           UpdateServerFieldIfChanged(settingsPath, "client_secret", "DPAPI:AAAA");
                           const std::size_t written = ReadFile(settingsPath).size();
                           if (written > 8 * input.size() + 64 * 1024 + 16) {
                               findings.changed.push_back("settings rewritten from " + std::to_string(input.size()) +
                                                          " to " + std::to_string(written) + " bytes");
                           }
                           return read;
                       }});

    const std::string legacyPath = dir + "\\tallyport_settings.txt";
    targets.push_back({"legacy_settings", [](Mutator& m) { return m.MutateText(kLegacySeed); },
                       [legacyPath, settingsPath](const std::string& input, Findings&) {
                           WriteFile(legacyPath, input);
                           ::DeleteFileA((legacyPath + ".bak").c_str());
                           TranslatorSettings settings;
                           const bool read = ParseLegacySettingsText(legacyPath, settings);
                           if (read) MigrateLegacySettings(legacyPath, settingsPath, settings);
                           return read;
                       }});

    targets.push_back({"token_response", [](Mutator& m) { return m.MutateJson(kTokenSeed); },
                       [](const std::string& input, Findings& findings) {
                           TLYRestClient client;
                           const bool stored = client.StoreTokenResponseForTesting(input);
                           if (stored) {
                               const json document = tly::ParseJson(input);
                               if (document.value("access_token", std::string()) != client.AccessToken()) {
                                   findings.changed.push_back("token not stored as sent: " + Shown(input));
                               }
                           }
                           return stored;
                       }});

    targets.push_back(SiteListTarget(
        "doors", json::parse(R"({"doors":[{"id":3,"name":"Gate","external_id":"D3","external_entry_reader_id":7,"external_exit_reader_id":8}]})"),
        [](const std::string& input, Findings& f) {
            CheckSiteList<DoorInfo>(input, "doors", &ReadDoor,
                                    {{"id", &DoorInfo::id},
                                     {"external_entry_reader_id", &DoorInfo::external_entry_reader_id},
                                     {"external_exit_reader_id", &DoorInfo::external_exit_reader_id}},
                                    f);
        }));
    targets.push_back(SiteListTarget(
        "handhelds", json::parse(R"({"handhelds":[{"id":100,"name":"HH1","guid":"G1","external_id":"4:2","door_id":3}]})"),
        [](const std::string& input, Findings& f) {
            CheckSiteList<HandheldInfo>(input, "handhelds", &ReadHandheld,
                                        {{"id", &HandheldInfo::id}, {"door_id", &HandheldInfo::door_id}}, f);
        }));
    targets.push_back(SiteListTarget(
        "panel_readers", json::parse(R"({"readers":[{"id":20,"external_id":"4:2","name":"R2","guid":"G1","door_id":3}]})"),
        [](const std::string& input, Findings& f) {
            CheckSiteList<ReaderInfo>(input, "readers", &ReadReader,
                                      {{"id", &ReaderInfo::id}, {"door_id", &ReaderInfo::door_id}}, f);
        }));
    targets.push_back(SiteListTarget(
        "connected_readers", json::parse(R"({"connected_readers":[{"id":100,"guid":"G1","name":"HH1","door_id":3}]})"),
        [](const std::string& input, Findings& f) {
            CheckSiteList<HandheldInfo>(input, "connected_readers", &ReadConnectedReader,
                                        {{"id", &HandheldInfo::id}, {"door_id", &HandheldInfo::door_id}}, f);
        }));

    // The ids of a batch go back to the server in the mark request, and the
    // badge numbers on to the host: each accepted activity must be an element
    // of the input, in order, that sent exactly those values, and name an id.
    // One bad element never costs its batch-mates: when the input parses
    // whole, every element is either read or set aside.
    targets.push_back({"pending_batch", [](Mutator& m) { return m.MutateJson(kBatchSeed); },
                       [](const std::string& input, Findings& findings) {
                           PendingBatch batch;
                           try {
                               batch = ParsePendingBatch(input);
                           } catch (const std::exception&) {
                               return false;  // the batch's parse failure path
                           }
                           const char* last = input.data();
                           for (const PendingActivity& a : batch.activities) {
                               const bool inside = a.raw.data() >= last &&
                                                   a.raw.data() + a.raw.size() <= input.data() + input.size();
                               const json element = json::parse(a.raw, nullptr, false);
                               if (!inside || element.is_discarded() || !element.is_object() ||
                                   !element.contains("adm_id") || !ExactlyAsSent(element, "adm_id", a.admId) ||
                                   !ExactlyAsSent(element, "badge_no", a.badgeNo)) {
                                   findings.changed.push_back("activity read as adm_id " + std::to_string(a.admId) +
                                                              ", badge_no " + std::to_string(a.badgeNo) +
                                                              " from " + Shown(input));
                               }
                               if (inside) last = a.raw.data() + a.raw.size();
                           }
                           const json body = json::parse(input, nullptr, false);
                           if (!body.is_discarded() && body.is_object() && body.contains("activities") &&
                               body["activities"].is_array() &&
                               batch.activities.size() + batch.malformed.size() != body["activities"].size()) {
                               findings.changed.push_back("activities lost between read and malformed: " + Shown(input));
                           }
                           // What the quick reader takes, the document reader reads alike.
                           if (ReadPlainPendingBatch(input) && !SameBatch(batch, ParsePendingBatchDocument(input))) {
                               findings.changed.push_back("the quick reader differs from the document reader: " +
                                                          Shown(input));
                           }
                           return batch.malformed.empty();
                       }});

    // A journal left by an earlier process is read at start: whatever its
    // bytes, the start goes on (with it, or with a new one after setting it
    // aside), and what is read back stays within the file's own limits.
    const std::string journalDir = dir + "\\journal";
    ::CreateDirectoryA(journalDir.c_str(), nullptr);
    targets.push_back({"delivery_journal", [sample = JournalSeed()](Mutator& m) { return m.MutateBinary(sample); },
                       [journalDir](const std::string& input, Findings& findings) {
                           journal::Contents contents;
                           std::string reason;
                           const bool accepted = journal::ReadImage(
                               reinterpret_cast<const unsigned char*>(input.data()), input.size(), contents, reason);
                           if (accepted) {
                               const journal::Layout& layout = contents.layout;
                               bool within = contents.underWayActivity.text.size() <= journal::kTextCapacity &&
                                             layout.end <= input.size() &&
                                             contents.suspects.size() <= layout.SuspectSlots() &&
                                             contents.taken.size() <= layout.TakenSlots();
                               for (const journal::Suspect& s : contents.suspects) {
                                   within = within && s.activity.text.size() <= journal::kTextCapacity &&
                                            s.slot < layout.SuspectSlots();
                               }
                               if (!within) findings.changed.push_back("journal read past its limits");
                           }
                           WriteFile(journalDir + "\\" + kDeliveryJournalFileName, input);
                           DeliveryJournal journal;
                           if (!journal.Open(journalDir)) {
                               findings.escaped.push_back("no journal after a start on " +
                                                          (accepted ? std::string("a readable file") : reason));
                           }
                           return accepted;
                       }});

    targets.push_back({"websocket_message",
                       [](Mutator& m) { return m.MutateJson(kMessageSeeds[m.Below(std::size(kMessageSeeds))]); },
                       [count = std::size_t{0}](const std::string& input, Findings&) mutable {
                           if (count++ % 200 == 0) InstallDispatchSite();
                           TLYApiImpl::Instance().OnWebSocketMessage(input);  // never throws
                           return true;
                       }});

    const std::string pendingPath = dir + "\\badge_events_pending.json";
    const std::string sentPath = dir + "\\badge_events_sent.json";
    targets.push_back({"badge_event_file", [](Mutator& m) { return m.MutateJson(kBadgeSeed); },
                       [pendingPath, sentPath](const std::string& input, Findings& findings) {
                           WriteFile(pendingPath, input);
                           ::DeleteFileA(sentPath.c_str());
                           const json records = tly::ParseJsonOrDiscard(input);
                           bool delivered = false;
                           RunBadgeEventFilePass(1, [&](std::int32_t reader, std::int64_t card, std::int32_t,
                                                        std::int32_t, std::uint32_t) {
                               delivered = true;
                               bool found = false;
                               for (const json& record : records.is_array() ? records : json::array()) {
                                   found = found ||
                                       (AsSent(record, "reader_id", reader, false, true) &&
                                        AsSent(record, "card_number", static_cast<long double>(card), false, true));
                               }
                               if (!found) {
                                   findings.changed.push_back("badge record delivered as reader " +
                                                              std::to_string(reader) + ", card " +
                                                              std::to_string(card) + " from " + Shown(input));
                               }
                           });
                           return delivered;
                       }});
    return targets;
}

}  // namespace fuzz
