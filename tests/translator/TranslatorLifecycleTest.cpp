// The translator object's life through its interfaces: construction and
// destruction, communication set-up and close, the stored values of the host
// framework, and bad input.

#include "tests/translator/TranslatorTestSupport.h"
#include "platform/TextConversion.h"
#include "translator/DeviceTranslator.h"

#include <olectl.h>

namespace tly::test {
namespace {

class TranslatorLifecycleTest : public TranslatorTest {};

TEST_F(TranslatorLifecycleTest, InitCommunicationRegistersCallBacksThenOpensAndConnectsItsPanel) {
    native.connectSucceeds = true;
    auto t = HostedTranslator::Create(12);
    ASSERT_EQ(t->Ors_CreateCommunicationObject(), S_OK);
    ASSERT_EQ(t->Ors_InitCommunication(), S_OK);
    EXPECT_EQ(native.Calls(),
              (std::vector<std::string>{"Init", "Init", "SetDisplayMessageCallback", "SetBadgeActivityCallback",
                                        "SetAlarmEventCallback", "Open 12", "Connect 12"}));
    EXPECT_EQ(Logged("translator.create_communication_object")[0]["fields"], nlohmann::json({{"panel_id", 12}}));
    const auto start = Logged("translator.init_communication");
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0]["message"], "Initializing communication with Tallyport");
    const auto done = Logged("translator.init_communication_succeeded");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0]["message"], "Communication initialized successfully");
    EXPECT_TRUE(Logged("translator.init_communication_deferred").empty());
}

TEST_F(TranslatorLifecycleTest, FailedFirstConnectionIsLoggedWithTheNativeErrorAndStillSucceeds) {
    const struct {
        const char* lastError;
        const char* message;
    } cases[] = {
        {"Token request failed (error=12029)",
         "Initial connection failed, will retry in background: Token request failed (error=12029)"},
        {"", "Initial connection failed, will retry in background"},
    };
    for (const auto& c : cases) {
        native.lastError = c.lastError;
        auto t = HostedTranslator::Create(3);
        EXPECT_EQ(t->Ors_InitCommunication(), S_OK);
        EXPECT_EQ(native.Count("GetLastErrorMessage 1024"), 1);
        const auto lines = Logged("translator.init_communication_deferred");
        ASSERT_EQ(lines.size(), 1u) << c.lastError;
        EXPECT_EQ(lines[0]["level"], "warn");
        EXPECT_EQ(lines[0]["message"], c.message);
        EXPECT_EQ(lines[0]["fields"], nlohmann::json({{"panel_id", 3}}));
        t.Release();
        native.ClearCalls();
        WriteFileBytes(CurrentLogFilePath(), "");
    }
}

TEST_F(TranslatorLifecycleTest, ConstructionAndDestructionAreLoggedAndDestructionClosesThePanel) {
    {
        auto t = HostedTranslator::Create(5);
        ASSERT_EQ(Logged("translator.constructed").size(), 1u);
        EXPECT_EQ(Logged("translator.constructed")[0]["message"], "Translator instance constructed");
        EXPECT_FALSE(Logged("translator.constructed")[0].contains("fields"));
        EXPECT_EQ(t->Ors_CloseCommunication(), S_FALSE);
        EXPECT_EQ(t->Ors_CloseCommunication(), S_FALSE);  // closing twice is harmless
        EXPECT_EQ(Logged("translator.close_communication")[0]["message"], "Closing communication with Tallyport");
        EXPECT_EQ(native.Count("Close 5"), 2);
        // Still usable after the close: a poll just finds the server side gone.
        EXPECT_EQ(t->Ors_PollPanelForEvents(), E_FAIL);
    }
    EXPECT_EQ(native.Count("Close 5"), 3);
    const auto gone = Logged("translator.destructed");
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0]["message"], "Translator instance destructed");
}

TEST_F(TranslatorLifecycleTest, ConnectToPanelPollsWhateverItIsAskedAndAnswersFalse) {
    native.subscribed = true;
    auto t = HostedTranslator::Create(4);
    EXPECT_EQ(t->Ors_ConnectToPanel(0, 0), S_FALSE);
    EXPECT_EQ(native.Count("GetReadersGoneOffline 4"), 1);
    native.subscribed = false;
    EXPECT_EQ(t->Ors_ConnectToPanel(1, 1), S_FALSE);
    const auto lines = Logged("connect_to_panel");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["level"], "debug");
    EXPECT_EQ(lines[0]["message"], "Ors_ConnectToPanel called");
    EXPECT_EQ(lines[0]["fields"], nlohmann::json({{"panel_id", 4}, {"connect_flag", 0}}));
    EXPECT_EQ(lines[1]["fields"]["connect_flag"], 1);
}

TEST_F(TranslatorLifecycleTest, RequireCTManagerAlwaysAnswersOne) {
    auto t = HostedTranslator::Create(4);
    int required = 0;
    EXPECT_EQ(t->Ors_RequireCTManager(&required), S_OK);
    EXPECT_EQ(required, 1);
    EXPECT_EQ(t->Ors_RequireCTManager(nullptr), E_POINTER);
    EXPECT_EQ(Logged("translator.require_ct_manager")[0]["message"], "Communication translator manager requested");
}

TEST_F(TranslatorLifecycleTest, MethodsBeforeThePanelIdWorkOnPanelZero) {
    UniqueComPtr<ITranslate> t;
    auto* factory = new com::ClassFactory<CAccessControlTrans>();
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITranslate, reinterpret_cast<void**>(t.put())), S_OK);
    factory->Release();
    int id = -1;
    ASSERT_EQ(t.get()->Ors_GetPanelID(&id), S_OK);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(t.get()->Ors_InitCommunication(), S_OK);
    EXPECT_EQ(native.Count("Open 0"), 1);
}

TEST_F(TranslatorLifecycleTest, EachStoredValueHasItsOwnField) {
    auto t = HostedTranslator::Create(4);
    UniqueComPtr<IComConfig> config;
    t->QueryInterface(IID_IComConfig, reinterpret_cast<void**>(config.put()));
    IComConfig* c = config.get();
    ITranslate* x = t.translate.get();
    int baud = 0;
    ASSERT_EQ(c->Ors_GetBaudRate(&baud), S_OK);
    EXPECT_EQ(baud, 9600);

    // Distinct values everywhere, then each read back: a setter writing
    // another's field shows.
    using Set = HRESULT (STDMETHODCALLTYPE IComConfig::*)(int);
    using Get = HRESULT (STDMETHODCALLTYPE IComConfig::*)(int*);
    const std::pair<Set, Get> pairs[] = {
        {&IComConfig::Ors_SetComPort, &IComConfig::Ors_GetComPort},
        {&IComConfig::Ors_SetComPort2, &IComConfig::Ors_GetComPort2},
        {&IComConfig::Ors_SetBaudRate, &IComConfig::Ors_GetBaudRate},
        {&IComConfig::Ors_SetPanelAddress, &IComConfig::Ors_GetPanelAddress},
        {&IComConfig::Ors_SetPrimaryIP, &IComConfig::Ors_GetPrimaryIP},
        {&IComConfig::Ors_SetSecondaryIP, &IComConfig::Ors_GetSecondaryIP},
        {&IComConfig::Ors_SetByteSize, &IComConfig::Ors_GetByteSize},
        {&IComConfig::Ors_SetParity, &IComConfig::Ors_GetParity},
        {&IComConfig::Ors_SetStopBits, &IComConfig::Ors_GetStopBits},
    };
    for (size_t i = 0; i < std::size(pairs); ++i) ASSERT_EQ((c->*pairs[i].first)(1000 + static_cast<int>(i)), S_OK);
    x->Ors_SetCommunicationType(1);
    x->Ors_SetCommunicationType2(2);
    x->Ors_SetPanelType(3);
    x->Ors_SetDST(4);
    for (size_t i = 0; i < std::size(pairs); ++i) {
        int value = -1;
        ASSERT_EQ((c->*pairs[i].second)(&value), S_OK);
        EXPECT_EQ(value, 1000 + static_cast<int>(i)) << i;
        EXPECT_EQ((c->*pairs[i].second)(nullptr), E_POINTER) << i;
    }
    int values[3] = {};
    LONG dst = 0;
    x->Ors_GetCommunicationType(&values[0]);
    x->Ors_GetCommunicationType2(&values[1]);
    x->Ors_GetPanelType(&values[2]);
    x->Ors_GetDST(&dst);
    EXPECT_EQ(std::vector<int>(values, values + 3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(dst, 4);
}

TEST_F(TranslatorLifecycleTest, TimeZoneRecordIsCopiedWholeAndNullIsRefused) {
    auto t = HostedTranslator::Create(4);
    _TZI zone{};
    zone.Bias = -60;
    zone.DaylightBias = -60;
    zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    zone.UTCoffset = 3600;
    zone.DST = 1;
    EXPECT_EQ(t->Ors_SetPanelTZInfo(nullptr), E_INVALIDARG);
    ASSERT_EQ(t->Ors_SetPanelTZInfo(&zone), S_OK);
    _TZI back;
    std::memset(&back, 0xCD, sizeof(back));
    ASSERT_EQ(t->Ors_GetPanelTZInfo(&back), S_OK);
    EXPECT_EQ(std::memcmp(&back, &zone, sizeof(zone)), 0);
    EXPECT_EQ(t->Ors_GetPanelTZInfo(nullptr), E_POINTER);
}

TEST_F(TranslatorLifecycleTest, FixedAnswersAndNullPointers) {
    auto t = HostedTranslator::Create(4);
    ITranslate* x = t.translate.get();
    LONG major = 5, minor = 5, build = 5;
    EXPECT_EQ(x->Ors_GetVersionInfo(&major, &minor, &build), E_NOTIMPL);
    EXPECT_EQ(major + minor + build, 0);
    EXPECT_EQ(x->Ors_GetVersionInfo(nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(t.translate4.get()->Ors_UploadEvents(1, 2), E_NOTIMPL);

    EXPECT_EQ(x->Ors_ConnectCommunicationManager(nullptr, nullptr), S_OK);
    EXPECT_EQ(x->Ors_SetDirectCmd(nullptr), S_OK);
    EXPECT_EQ(x->Ors_SetPanelName(nullptr), S_OK);
    UniqueBstr name(::SysAllocString(L"Gate \u00c4"));
    EXPECT_EQ(x->Ors_SetPanelName(name.get()), S_OK);
    EXPECT_EQ(x->Ors_SetPanelPassword(nullptr), S_OK);
    EXPECT_EQ(x->Ors_SendPanelNextDirectCmd(), S_OK);

    EXPECT_EQ(x->Ors_GetPanelID(nullptr), E_POINTER);
    EXPECT_EQ(x->Ors_GetPanelEventSerialNumber(nullptr), E_POINTER);
    EXPECT_EQ(x->Ors_IsPanelOnline(nullptr), E_POINTER);
    EXPECT_EQ(x->Ors_GetSystemStatus(nullptr), E_POINTER);
    EXPECT_EQ(x->Ors_ReadClock(nullptr), E_POINTER);

    UniqueComPtr<IAccessControl> access;
    t->QueryInterface(IID_IAccessControl, reinterpret_cast<void**>(access.put()));
    EXPECT_EQ(access.get()->Ors_AddBadge(), E_NOTIMPL);
    int twoWire = 7;
    EXPECT_EQ(access.get()->Ors_GetUseTwoWireRS485(&twoWire), E_NOTIMPL);
    EXPECT_EQ(twoWire, 0);
    EXPECT_EQ(access.get()->Ors_GetUseTwoWireRS485(nullptr), E_NOTIMPL);
    UniqueComPtr<IInput> input;
    t->QueryInterface(IID_IInput, reinterpret_cast<void**>(input.put()));
    EXPECT_EQ(input.get()->Ors_SetAlarmMaskGroupMaskLevel(), E_NOTIMPL);
    UniqueComPtr<IOutput> output;
    t->QueryInterface(IID_IOutput, reinterpret_cast<void**>(output.put()));
    EXPECT_EQ(output.get()->Ors_GetAlarmOutputStatus(), E_NOTIMPL);
}

TEST_F(TranslatorLifecycleTest, SystemStatusAndClockReportThePanel) {
    auto t = HostedTranslator::Create(300);
    t->Ors_SetPanelState(0x101);
    _SYSTEM_STATUS status;
    std::memset(&status, 0xEE, sizeof(status));
    ASSERT_EQ(t->Ors_GetSystemStatus(&status), S_OK);
    EXPECT_EQ(status.si_PanelID, 300);
    EXPECT_EQ(status.sb_AsyncStatus, 0);
    EXPECT_EQ(status.sb_Devices[0], 1);  // low byte of the panel state
    EXPECT_EQ(status.sb_Devices[1], 0xEE);
    LONG online = 1;
    t->Ors_IsPanelOnline(&online);
    EXPECT_EQ(online, 0);

    tm time{};
    ASSERT_EQ(t->Ors_ReadClock(&time), S_OK);
    EXPECT_EQ(time.tm_year, 124);
    EXPECT_EQ(time.tm_mon, 2);
    EXPECT_EQ(time.tm_mday, 5);
    EXPECT_EQ(time.tm_hour, 14);
    EXPECT_EQ(time.tm_min, 7);
    EXPECT_EQ(time.tm_sec, 9);
    EXPECT_EQ(time.tm_wday, 2);
    EXPECT_EQ(time.tm_yday, 64);
}

TEST_F(TranslatorLifecycleTest, UnsolicitedEventsNeedMonitoringAndTheDatabaseFlag) {
    auto t = HostedTranslator::Create(4);
    ITranslate* x = t.translate.get();
    for (LONG n : {-2L, 2L, -1L}) EXPECT_EQ(x->Ors_UnsolicitedEventRequest(n, 0), S_OK) << n;
    EXPECT_EQ(x->Ors_UnsolicitedEventRequest(5, 0), E_FAIL);
    x->Ors_SetDBEnabledFlag(1);
    EXPECT_EQ(x->Ors_UnsolicitedEventRequest(5, 0), S_OK);  // monitoring always on without event storage
}

TEST_F(TranslatorLifecycleTest, WithEventStorageInThePanelMonitoringFollowsTheHostsRequests) {
    directory.Write("ACS.INI", "[Service]\r\nEnableEventStorageInPanel=1\r\n");
    CDeviceTranslator::SetProfileFileForTesting(Utf8ToWide(directory.File("ACS.INI")));
    auto t = HostedTranslator::Create(4);
    CDeviceTranslator::SetProfileFileForTesting({});
    ITranslate* x = t.translate.get();
    x->Ors_SetDBEnabledFlag(1);
    EXPECT_EQ(x->Ors_UnsolicitedEventRequest(5, 0), E_FAIL);
    x->Ors_IncrementMonitorReq();
    EXPECT_EQ(x->Ors_UnsolicitedEventRequest(5, 0), S_OK);
    x->Ors_DecrementMonitorReq();
    x->Ors_DecrementMonitorReq();  // never below 0
    EXPECT_EQ(x->Ors_UnsolicitedEventRequest(5, 0), E_FAIL);
    x->Ors_IncrementMonitorReq();
    EXPECT_EQ(x->Ors_UnsolicitedEventRequest(5, 0), S_OK);
}

TEST_F(TranslatorLifecycleTest, InterfacesShareOneIdentity) {
    auto t = HostedTranslator::Create(4);
    const IID* iids[] = {&IID_ITranslate4, &IID_IOutput, &IID_IInput, &IID_IAccessControl,
                         &IID_ITranslate, &IID_IComConfig, &IID_IConnectionPointContainer};
    UniqueComPtr<IUnknown> identity;
    ASSERT_EQ(t->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.put())), S_OK);
    for (const IID* iid : iids) {
        UniqueComPtr<IUnknown> itf;
        ASSERT_EQ(t->QueryInterface(*iid, reinterpret_cast<void**>(itf.put())), S_OK);
        UniqueComPtr<IUnknown> back;
        ASSERT_EQ(itf.get()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(back.put())), S_OK);
        EXPECT_EQ(back.get(), identity.get());
    }
    UniqueComPtr<IUnknown> none;
    EXPECT_EQ(t->QueryInterface(IID_IDistributeEvent, reinterpret_cast<void**>(none.put())), E_NOINTERFACE);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_EQ(t->QueryInterface(IID_ITranslate, nullptr), E_POINTER);
}

}  // namespace
}  // namespace tly::test
