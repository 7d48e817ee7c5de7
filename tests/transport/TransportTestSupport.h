#pragma once
// Shared pieces of the transport tests: a temporary module directory with the
// log at trace level, and a private simulator.

#include "logging/Log.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/Simulator.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tly::test {

class LoggedTest : public ::testing::Test {
protected:
    LoggedTest() {
        TranslatorSettings settings;
        settings.log_level = "trace";
        ApplyLoggingSettings(settings);
    }

    std::vector<nlohmann::json> Logged(const std::string& event) const {
        return LinesWithEvent(dir.File("tly_translator.log"), event);
    }

    TempModuleDirectory dir;
};

class TransportTest : public LoggedTest {
protected:
    Simulator sim;
};

}  // namespace tly::test
