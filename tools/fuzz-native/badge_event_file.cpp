// "badge_events_pending.json" as something outside the system wrote it,
// through a whole pass of the badge event file for panel 1. Every delivery
// names a reader and card that one record of the input sent (null or absent
// read as 0), a record is either left as it was or moved, what an outside
// writer appends meanwhile is kept, a failed write delivers nothing twice,
// and the files the pass writes are JSON arrays again.

#include "logging/Log.h"
#include "platform/JsonDocument.h"
#include "translator/badges/BadgeEventFile.h"
#include "tools/fuzz-native/FuzzCheck.h"
#include "tools/fuzz/SentValues.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using nlohmann::json;
using fuzz_native::Check;

std::string g_directory;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/tly-fuzz-badge-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    g_directory = made;
    SetModuleDirectoryForTesting(g_directory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string pending = g_directory + "/badge_events_pending.json";
    const std::string sent = g_directory + "/badge_events_sent.json";
    std::remove(sent.c_str());
    {
        std::ofstream out(pending, std::ios::binary | std::ios::trunc);
        out.write(input.data(), static_cast<std::streamsize>(input.size()));
    }
    // Every fourth input finds the sent file impossible to write (a directory
    // stands where its new copy goes): the pass must keep what it handled for
    // the next one and deliver nothing twice.
    const std::string blocker = sent + ".new";
    const bool blocked = size % 4 == 0;
    if (blocked) ::mkdir(blocker.c_str(), 0700);

    const json records = tly::ParseJsonOrDiscard(input);
    std::size_t deliveries = 0;
    const auto deliver = [&](std::int32_t reader, std::int64_t card, std::int32_t, std::int32_t, std::uint32_t) {
        ++deliveries;
        bool found = false;
        for (const json& record : records.is_array() ? records : json::array()) {
            found = found || (fuzz::AsSent(record, "reader_id", reader, false, true) &&
                              fuzz::AsSent(record, "card_number", static_cast<long double>(card), false, true));
        }
        Check(found, "delivered as reader " + std::to_string(reader) + ", card " + std::to_string(card), input);
        // An outside writer appends while the host takes an event; a host
        // that fails an event is recorded, not retried.
        if (card % 7 == 6) {
            std::ofstream out(pending, std::ios::binary | std::ios::trunc);
            json now = tly::ParseJsonOrDiscard(input);
            if (now.is_array()) {
                now.push_back({{"panel_id", 2}, {"card_number", 99}, {"appended", true}});
                out << now.dump();
            }
        }
        if (card % 5 == 4) throw std::runtime_error("the host refused it");
    };
    RunBadgeEventFilePass(1, deliver);
    if (blocked) {
        ::rmdir(blocker.c_str());
        const std::size_t before = deliveries;
        RunBadgeEventFilePass(1, deliver);
        Check(deliveries == before, "a pass after a failed write delivers nothing again", input);
    }
    if (records.is_array() && !records.empty()) {
        const json left = tly::ParseJsonOrDiscard(ReadAll(pending));
        const json moved = tly::ParseJsonOrDiscard(ReadAll(sent));
        Check(left.is_array(), "the pending file is an array after the pass", input);
        const std::size_t handled = moved.is_array() ? moved.size() : 0;
        Check(deliveries <= handled, "every delivery is in the sent file", input);
        std::size_t appended = 0;
        for (const json& record : left) {
            if (record.is_object() && record.contains("appended")) {
                ++appended;
                continue;
            }
            bool fromInput = false;
            for (const json& original : records) fromInput = fromInput || original == record;
            Check(fromInput, "a record left pending is kept as it was", input);
        }
        Check(left.size() - appended + handled <= records.size(), "a record is either left or moved, never both",
              input);
    }
    return 0;
}
