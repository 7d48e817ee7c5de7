#include "api/OperationFaults.h"
#include "api/TLYApi.h"
#include "api/TLYApiImpl.h"
#include "logging/Log.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/TempModuleDirectory.h"

#include <gtest/gtest.h>

#include <stdexcept>

using tly::test::LinesWithEvent;
using tly::test::TempModuleDirectory;

namespace {

class ExportsTest : public ::testing::Test {
protected:
    ExportsTest() {
        TranslatorSettings settings;
        settings.log_level = "trace";
        ApplyLoggingSettings(settings);
    }
    ~ExportsTest() override { SetOperationFaultHookForTesting(nullptr); }

    void ThrowIn(const std::string& operation, bool standard) {
        SetOperationFaultHookForTesting([operation, standard](std::string_view name) {
            if (name != operation) return;
            if (standard) throw std::runtime_error("boom");
            throw 42;
        });
    }
    std::string LastError(int size = 1024) {
        std::string buffer(static_cast<size_t>(size), '\x7f');
        TLYAPI_GetLastErrorMessage(buffer.data(), size);
        return buffer.c_str();
    }
    std::string LogPath() const { return dir.File("tly_translator.log"); }

    TempModuleDirectory dir;
};

}  // namespace

TEST_F(ExportsTest, LastErrorIsCutToTheBufferAndAlwaysTerminated) {
    TLYApiImpl::Instance().SetLastError("0123456789");
    struct Case {
        int size;
        std::string expected;
    };
    for (const Case& c : {Case{1, ""}, Case{2, "0"}, Case{10, "012345678"}, Case{11, "0123456789"},
                          Case{64, "0123456789"}}) {
        std::string buffer(static_cast<size_t>(c.size), 'x');
        TLYAPI_GetLastErrorMessage(buffer.data(), c.size);
        EXPECT_EQ(buffer.c_str(), c.expected) << c.size;
        EXPECT_EQ(buffer.back(), c.size > static_cast<int>(c.expected.size()) + 1 ? 'x' : '\0') << c.size;
    }
    EXPECT_EQ(LastError(), "0123456789") << "copying out does not clear the text";
}

TEST_F(ExportsTest, LastErrorIgnoresNullAndNonPositiveSizes) {
    TLYApiImpl::Instance().SetLastError("text");
    TLYAPI_GetLastErrorMessage(nullptr, 10);
    char buffer[4] = {'a', 'b', 'c', 'd'};
    TLYAPI_GetLastErrorMessage(buffer, 0);
    TLYAPI_GetLastErrorMessage(buffer, -1);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(ExportsTest, OpeningTwiceRegistersThePanelOnce) {
    TLYAPI_Open(7);
    TLYAPI_Open(7);
    TLYAPI_Open(-3);
    EXPECT_EQ(TLYApiImpl::Instance().PanelIdsSnapshot(), (std::vector<std::int32_t>{7, -3}));
    TLYAPI_Close(7);
    EXPECT_EQ(TLYApiImpl::Instance().PanelIdsSnapshot(), (std::vector<std::int32_t>{-3}));
    auto opens = LinesWithEvent(LogPath(), "open");
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(opens[0]["fields"]["panel_id"], 7);
    EXPECT_EQ(opens[0]["component"], "tly_api");
}

TEST_F(ExportsTest, OpenThatThrowsReturnsFalseAndLogs) {
    ThrowIn("Open", true);
    EXPECT_FALSE(TLYAPI_Open(1));
    auto failed = LinesWithEvent(LogPath(), "open.failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["fields"]["exception"], "boom");
    EXPECT_EQ(failed[0]["level"], "error");

    ThrowIn("Open", false);
    EXPECT_FALSE(TLYAPI_Open(1));
    EXPECT_EQ(LinesWithEvent(LogPath(), "open.failed_unknown").size(), 1u);
}

TEST_F(ExportsTest, ConnectThatThrowsSetsTheLastErrorText) {
    ThrowIn("Connect", true);
    EXPECT_FALSE(TLYAPI_Connect(5));
    EXPECT_EQ(LastError(), "Connect exception: boom");
    EXPECT_EQ(LinesWithEvent(LogPath(), "connect.failed_exception").at(0)["fields"]["panel_id"], 5);

    ThrowIn("Connect", false);
    EXPECT_FALSE(TLYAPI_Connect(5));
    EXPECT_EQ(LastError(), "Connect failed with unknown error");
    EXPECT_EQ(LinesWithEvent(LogPath(), "connect.failed_unknown").size(), 1u);
}

TEST_F(ExportsTest, InitialDataThatThrowsSetsTheLastErrorText) {
    ThrowIn("GetInitialData", true);
    EXPECT_FALSE(TLYAPI_GetInitialData(2));
    EXPECT_EQ(LastError(), "Initial data exception: boom");
    ThrowIn("GetInitialData", false);
    EXPECT_FALSE(TLYAPI_GetInitialData(2));
    EXPECT_EQ(LastError(), "Initial data fetch failed with unknown error");
    EXPECT_EQ(LinesWithEvent(LogPath(), "initial_data.failed_unknown").size(), 1u);
}

TEST_F(ExportsTest, StatusThatThrowsResetsTheCallersList) {
    ReaderStatusEntry sentinel{};
    for (bool standard : {true, false}) {
        ThrowIn("GetReadersStatus3", standard);
        ReaderStatusList list{&sentinel, 9};
        TLYAPI_GetReadersStatus3(4, &list);
        EXPECT_EQ(list.items, nullptr);
        EXPECT_EQ(list.count, 0);
    }
    EXPECT_EQ(LinesWithEvent(LogPath(), "readers_status.failed_exception").size(), 1u)
        << "only a std::exception is logged";
    TLYAPI_GetReadersStatus3(4, nullptr);
}

TEST_F(ExportsTest, ExportsThatSwallowEveryException) {
    for (bool standard : {true, false}) {
        ThrowIn("Close", standard);
        TLYAPI_Close(3);
        ThrowIn("FetchPendingActivities", standard);
        TLYAPI_FetchPendingActivities();
        ThrowIn("GetSubscribed", standard);
        EXPECT_FALSE(TLYAPI_GetSubscribed(3));
    }
    EXPECT_EQ(LinesWithEvent(LogPath(), "close.failed_exception").size(), 1u);
    auto fetch = LinesWithEvent(LogPath(), "activities.fetch_exception");
    ASSERT_EQ(fetch.size(), 2u);
    EXPECT_EQ(fetch[0]["level"], "warn");
}

TEST_F(ExportsTest, SubscribedIsFalseBeforeAnyConnectWhateverThePanel) {
    EXPECT_FALSE(TLYAPI_GetSubscribed(1));
    EXPECT_FALSE(TLYAPI_GetSubscribed(-99));
}

TEST_F(ExportsTest, InitLogsUnderTheExportsComponent) {
    TLYAPI_Init();
    auto lines = LinesWithEvent(LogPath(), "init");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["component"], "tly_exports");
    EXPECT_EQ(lines[0]["level"], "debug");
}

TEST_F(ExportsTest, AlarmCallbackSetterLogsEvenForNull) {
    TLYAPI_SetAlarmEventCallback(nullptr);
    EXPECT_EQ(LinesWithEvent(LogPath(), "alarm_callback.set").size(), 1u);
}
