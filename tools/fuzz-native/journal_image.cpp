// The delivery journal a process left behind, read at start: whatever its
// bytes, the reader reads nothing outside them (AddressSanitizer holds it to
// that on a buffer of exactly the input's size), and what it accepts stays
// within the file's own limits.

#include "api/JournalImage.h"
#include "tools/fuzz-native/FuzzCheck.h"

#include <cstring>
#include <vector>

using fuzz_native::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz_native::AsText(data, size);
    // Short inputs whose first byte is odd stand for the start of a journal:
    // laid over an empty one (the signature's first letter kept), so the
    // reader gets past its size check to the header and the records.
    std::vector<unsigned char> bytes(data, data + size);
    if (size >= 1 && size < journal::kFileSize && (data[0] & 1)) {
        std::vector<unsigned char> whole(journal::kFileSize, 0);
        journal::WriteEmptyImage(whole.data());
        std::memcpy(whole.data() + 1, data + 1, size - 1);
        bytes = std::move(whole);
    }
    journal::Contents contents;
    std::string reason;
    if (!journal::ReadImage(bytes.data(), bytes.size(), contents, reason)) {
        Check(!reason.empty(), "a refused journal says why", input);
        return 0;
    }
    const journal::Layout& layout = contents.layout;
    Check(bytes.size() >= journal::kFileSize && layout.end <= bytes.size(), "the layout within the file", input);
    Check(layout.SuspectSlots() <= journal::kMostSuspectSlots && layout.TakenSlots() <= journal::kMostTakenSlots,
          "no more slots than the bounds", input);
    Check(contents.underWayActivity.text.size() <= journal::kTextCapacity, "the text under way within capacity", input);
    Check(contents.suspects.size() <= layout.SuspectSlots() && contents.taken.size() <= layout.TakenSlots(),
          "no more records than slots", input);
    for (const journal::Suspect& s : contents.suspects) {
        Check(s.slot < layout.SuspectSlots() && s.activity.text.size() <= journal::kTextCapacity &&
                  s.offset + sizeof(journal::ActivityRecord) <= layout.end,
              "a suspect within its slot and capacity", input);
    }
    for (const auto& [slot, entry] : contents.taken) {
        Check(slot < layout.TakenSlots(), "a taken entry within its slots", input);
    }
    for (std::uint32_t slot : contents.repeatedTakenSlots) {
        Check(slot < layout.TakenSlots(), "a repeated taken entry within its slots", input);
    }
    return 0;
}
