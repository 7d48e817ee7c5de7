#include "tests/support/LogReader.h"

#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tly::test {

std::vector<nlohmann::json> ReadLogLines(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(ReadFileBytes(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << line;
        if (!parsed.is_discarded()) lines.push_back(std::move(parsed));
    }
    return lines;
}

std::vector<nlohmann::json> LinesWithEvent(const std::string& path, const std::string& event) {
    std::vector<nlohmann::json> matching;
    for (auto& line : ReadLogLines(path)) {
        if (line.value("event", "") == event) matching.push_back(line);
    }
    return matching;
}

bool HasEvent(const std::string& path, const std::string& event) { return !LinesWithEvent(path, event).empty(); }

}  // namespace tly::test
