// A "/pending_activities/N" answer, through the reader the activity run uses.
// Ids go back to the server in the mark request and badge numbers on to the
// host, so every activity read must be an element of the input, in order,
// that sent exactly those values. One bad element never costs its
// batch-mates. And the quick reader, where it takes a text at all, reads it
// exactly as the document reader does.

#include "api/PendingBatch.h"
#include "api/PlainPendingBatch.h"
#include "tools/fuzz-native/FuzzCheck.h"
#include "tools/fuzz/SentValues.h"

using fuzz::ExactlyAsSent;
using fuzz::SameBatch;
using fuzz_native::Check;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz_native::AsText(data, size);
    PendingBatch batch;
    try {
        batch = ParsePendingBatch(input);
    } catch (const std::exception&) {
        return 0;  // the answer as a whole cannot be read: its documented failure
    }
    const char* last = input.data();
    for (const PendingActivity& a : batch.activities) {
        const bool inside = a.raw.data() >= last && a.raw.data() + a.raw.size() <= input.data() + input.size();
        Check(inside, "an activity's text lies in the answer, after the one before it", input);
        last = a.raw.data() + a.raw.size();
        const json element = json::parse(a.raw, nullptr, false);
        Check(!element.is_discarded() && element.is_object() && element.contains("adm_id"),
              "an activity read is an object that names its id", input);
        Check(ExactlyAsSent(element, "adm_id", a.admId) && ExactlyAsSent(element, "badge_no", a.badgeNo),
              "adm_id " + std::to_string(a.admId) + " and badge_no " + std::to_string(a.badgeNo) + " as sent", input);
    }
    for (const MalformedActivity& m : batch.malformed) {
        Check(m.text.size() <= kMalformedTextLimit, "a set-aside activity's text is cut to its limit", input);
    }
    const json body = json::parse(input, nullptr, false);
    if (!body.is_discarded() && body.is_object() && body.contains("activities") && body["activities"].is_array()) {
        Check(batch.activities.size() + batch.malformed.size() == body["activities"].size(),
              "every activity is either read or set aside", input);
    }
    if (ReadPlainPendingBatch(input)) {
        Check(SameBatch(batch, ParsePendingBatchDocument(input)),
              "the quick reader reads what the document reader reads", input);
    }
    return 0;
}
