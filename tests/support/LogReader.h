#pragma once
// Reads a JSON-lines log back for exact checks of what was written.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace tly::test {

// Every line of the file, parsed; a line that is not JSON fails the test.
std::vector<nlohmann::json> ReadLogLines(const std::string& path);

// The lines with this event id, in order.
std::vector<nlohmann::json> LinesWithEvent(const std::string& path, const std::string& event);

// Whether the file holds a line with this event id.
bool HasEvent(const std::string& path, const std::string& event);

}  // namespace tly::test
