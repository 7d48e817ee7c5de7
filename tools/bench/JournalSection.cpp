// The delivery journal's own cost per activity, in a process of its own with
// no server: what a delivery adds (room made, the call-back recorded, the id
// journalled as taken) and what a mark takes away, at 10,000, 100,000 and
// 1,000,000 ids taken and not marked (marks failing for that long), with the
// file's size and the memory committed at each.

#include "api/DeliveryJournal.h"
#include "tests/support/CommittedMemory.h"
#include "tests/support/TempModuleDirectory.h"
#include "tools/bench/Sections.h"
#include "tools/bench/Stopwatch.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

namespace bench {
namespace {

const int kIdCounts[] = {10000, 100000, 1000000};
constexpr int kIdsPerMark = 100;
constexpr double kBytesPerMiB = 1048576.0;

std::uint64_t FileBytes(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

nlohmann::json JournalChild(const nlohmann::json& params) {
    const int ids = params.at("ids").get<int>();
    tly::test::TempModuleDirectory dir;  // the log and the journal go here
    const std::string path = dir.Path() + "\\" + kDeliveryJournalFileName;
    const std::string text(200, 'a');  // about an activity's size as the server sends it
    const std::uint64_t memoryBefore = tly::test::CommittedPrivateBytes();

    DeliveryJournal journal;
    if (!journal.Open(dir.Path())) throw std::runtime_error("the journal did not open");
    const double takingFrom = NowMs();
    std::string whyNot;
    for (int id = 1; id <= ids; ++id) {
        if (!journal.MakeRoom(whyNot)) throw std::runtime_error("no room: " + whyNot);
        journal.BeginDelivery(1, id, id, text);
        journal.EndDelivery(true);
    }
    const double takeNs = (NowMs() - takingFrom) * 1e6 / ids;
    const std::uint64_t fullBytes = FileBytes(path);
    const double memoryMiB = static_cast<double>(tly::test::CommittedPrivateBytes() - memoryBefore) / kBytesPerMiB;

    const double markingFrom = NowMs();
    std::vector<std::int32_t> chunk;
    for (int first = 1; first <= ids; first += kIdsPerMark) {
        chunk.clear();
        for (int id = first; id < first + kIdsPerMark && id <= ids; ++id) chunk.push_back(id);
        journal.Marked(1, chunk);
    }
    const double markNs = (NowMs() - markingFrom) * 1e6 / ids;
    journal.Close();
    return {{"take_ns", takeNs},
            {"mark_ns", markNs},
            {"file_mib", static_cast<double>(fullBytes) / kBytesPerMiB},
            {"empty_file_mib", static_cast<double>(FileBytes(path)) / kBytesPerMiB},
            {"memory_mib", memoryMiB}};
}

void MeasureJournal(BenchRun& run, ReportTable& table) {
    for (const int ids : kIdCounts) {
        const nlohmann::json result = run.RunChild("journal", {{"ids", ids}});
        const double perActivity = result.at("take_ns").get<double>() + result.at("mark_ns").get<double>();
        table.Add({"Delivery journal, " + std::to_string(ids) + " ids taken and not marked", "—",
                   "take " + Fixed(result.at("take_ns").get<double>(), 0) + " ns + mark " +
                       Fixed(result.at("mark_ns").get<double>(), 0) + " ns per activity; file " +
                       Fixed(result.at("file_mib").get<double>(), 2) + " MiB (" +
                       Fixed(result.at("empty_file_mib").get<double>(), 2) + " MiB once marked); memory +" +
                       Fixed(result.at("memory_mib").get<double>(), 1) + " MiB",
                   Fixed(perActivity / 1000.0, 2) + " µs of limit 1 µs"});
    }
}

}  // namespace bench
