// tly-bench: the DLL beside a bare WinHTTP client against the Tallyport
// simulator (see README.md).
//   tly-bench DLL WORK_DIR [--repetitions N] [--idle-seconds S] [--markdown FILE]
//   tly-bench --child KIND PARAMS_FILE RESULT_FILE   (run by the bench itself)

#include "tests/support/Simulator.h"
#include "tests/support/TempModuleDirectory.h"
#include "tools/bench/Sections.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

using namespace bench;

struct SectionEntry {
    const char* name;
    void (*measure)(BenchRun&, ReportTable&);
};

// The table's order.
const SectionEntry kSections[] = {
    {"drain", MeasureDrain},   {"notification", MeasureNotification}, {"idle", MeasureIdle},
    {"memory", MeasureMemory}, {"startup", MeasureStartup},           {"size", MeasureDllSize},
    {"large-site", MeasureLargeSite}, {"journal", MeasureJournal},
};

struct ChildEntry {
    const char* kind;
    ChildMain run;
};

const ChildEntry kChildren[] = {
    {"floor-drain", FloorDrainChild},
    {"dll-drain", DllDrainChild},
    {"dll-host-call-bound", DllHostCallBoundChild},
    {"floor-notification", FloorNotificationChild},
    {"dll-notification", DllNotificationChild},
    {"dll-idle", DllIdleChild},
    {"dll-memory", DllMemoryChild},
    {"floor-startup", FloorStartupChild},
    {"dll-startup", DllStartupChild},
    {"floor-large-site", FloorLargeSiteChild},
    {"dll-large-site", DllLargeSiteChild},
    {"journal", JournalChild},
};

int RunChild(const std::string& kind, const std::string& paramsFile, const std::string& resultFile) {
    nlohmann::json result;
    try {
        const nlohmann::json params = nlohmann::json::parse(tly::test::ReadFileBytes(paramsFile));
        result = {{"error", "unknown child " + kind}};
        for (const ChildEntry& child : kChildren) {
            if (kind == child.kind) result = child.run(params);
        }
    } catch (const std::exception& e) {
        result = {{"error", e.what()}};
    }
    tly::test::WriteFileBytes(resultFile, result.dump(2));
    std::fflush(nullptr);
    // Threads of the DLL or of the floor client may still be blocked in a
    // receive; the process ends without waiting for them, as a host's does.
    ::ExitProcess(result.contains("error") ? 1 : 0);
}

int Usage() {
    std::fprintf(stderr, "usage: tly-bench DLL WORK_DIR [--repetitions N] [--idle-seconds S]"
                         " [--large-site-seconds S] [--large-site-memory-minutes M] [--markdown FILE]"
                         " [--only SECTION,...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0) return RunChild(argv[2], argv[3], argv[4]);
    if (argc < 3) return Usage();

    BenchOptions options;
    options.dllPath = argv[1];
    options.workDirectory = argv[2];
    std::string markdownFile;
    std::string only;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--repetitions") {
            options.repetitions = std::atoi(argv[i + 1]);
        } else if (option == "--idle-seconds") {
            options.idleSeconds = std::atoi(argv[i + 1]);
        } else if (option == "--large-site-seconds") {
            options.largeSiteSeconds = std::atoi(argv[i + 1]);
        } else if (option == "--large-site-memory-minutes") {
            options.largeSiteMemoryMinutes = std::atoi(argv[i + 1]);
        } else if (option == "--markdown") {
            markdownFile = argv[i + 1];
        } else if (option == "--only") {
            only = "," + std::string(argv[i + 1]) + ",";
        } else {
            return Usage();
        }
    }

    try {
        ::CreateDirectoryA(options.workDirectory.c_str(), nullptr);
        ReportTable table;
        for (const SectionEntry& section : kSections) {
            if (!only.empty() && only.find("," + std::string(section.name) + ",") == std::string::npos) continue;
            std::fprintf(stderr, "bench: %s\n", section.name);
            // A simulator of its own for each section: a simulator ends itself
            // after ten minutes, and the whole bench takes longer. The large
            // site's section lasts longer than that by its memory run.
            const bool largeSite = std::strcmp(section.name, "large-site") == 0;
            tly::test::Simulator simulator(largeSite ? 900 + 60 * options.largeSiteMemoryMinutes : 600);
            // Batches of 100, and no notification unless a measure asks for one.
            simulator.Call("POST", "/config", {{"batch_size", 100}, {"auto_notify_activities", false}});
            BenchRun run(options, simulator);
            section.measure(run, table);
        }
        std::fputs(table.Text().c_str(), stdout);
        if (!markdownFile.empty()) tly::test::WriteFileBytes(markdownFile, table.Markdown());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench failed: %s\n", e.what());
        return 1;
    }
}
