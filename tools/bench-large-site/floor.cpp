// The floor under a status request on a large site: fetching and parsing the
// four site lists (doors, handhelds, one panel's readers, connected readers)
// and nothing else, over the translator's own REST client, round after round.
// Prints one JSON line: the milliseconds of a round, min, p50 and p99.
//
//   bench-floor.exe PORT CLIENT_ID CLIENT_SECRET PANEL ROUNDS

#include "platform/Clock.h"
#include "transport/TLYRestClient.h"

#include <nlohmann/json.hpp>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double NowMs() {
    tly::Clock& clock = tly::CurrentClock();
    return static_cast<double>(clock.PerformanceCounter()) * 1000.0 / static_cast<double>(clock.PerformanceFrequency());
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench-floor PORT CLIENT_ID CLIENT_SECRET PANEL ROUNDS\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const std::string panel = argv[4];
    const int rounds = std::max(1, std::atoi(argv[5]));
    const std::vector<std::string> lists = {"/doors", "/handhelds", "/panels/" + panel + "/readers",
                                            "/connected-readers"};
    try {
        TLYRestClient client;
        if (!client.Initialize("127.0.0.1", port, false) || !client.Authenticate(argv[2], argv[3])) {
            std::fprintf(stderr, "bench-floor: cannot reach the server\n");
            return 1;
        }
        std::vector<double> times;
        std::size_t elements = 0;
        for (int round = 0; round <= rounds; ++round) {
            const double start = NowMs();
            elements = 0;
            for (const std::string& list : lists) {
                std::string body;
                if (!client.GetWithRetry(list, body)) {
                    std::fprintf(stderr, "bench-floor: %s failed: %s\n", list.c_str(), body.c_str());
                    return 1;
                }
                const nlohmann::json document = nlohmann::json::parse(body);
                for (const auto& member : document.items()) elements += member.value().size();
            }
            if (round > 0) times.push_back(NowMs() - start);  // the first round warms the connection
        }
        std::printf("{\"rounds\":%d,\"elements\":%zu,\"min_ms\":%.2f,\"p50_ms\":%.2f,\"p99_ms\":%.2f}\n", rounds,
                    elements, Percentile(times, 0.0), Percentile(times, 0.5), Percentile(times, 0.99));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench-floor: %s\n", e.what());
        return 1;
    }
}
