#pragma once
// Fixtures for the translator's tests: a scripted native layer installed under
// the translator, an event sink that records every record byte for byte, and
// translator objects made through the class factory and driven only through
// their COM interfaces.

#include "TallyportAccessControl.h"
#include "logging/Log.h"
#include "platform/UniqueResource.h"
#include "settings/TranslatorSettings.h"
#include "tests/support/LogReader.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempModuleDirectory.h"
#include "translator/AccessControlTrans.h"
#include "translator/NativeApi.h"
#include "translator/framework/ClassFactory.h"
#include "translator/idl/DistributeEventSinkBase.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tly::test {

// ---------------------------------------------------------------- native layer

// Stands in for the TLYAPI_* functions while it lives. The translator calls it
// through NativeApi; tests script its answers and read what it was asked.
class FakeNative {
public:
    FakeNative() {
        instance = this;
        SetNativeApiForTesting(&table);
    }
    ~FakeNative() {
        SetNativeApiForTesting(nullptr);
        instance = nullptr;
    }
    FakeNative(const FakeNative&) = delete;
    FakeNative& operator=(const FakeNative&) = delete;

    // Answers.
    std::atomic<bool> subscribed{false};
    std::atomic<bool> connectSucceeds{false};
    std::atomic<bool> badgeFileEnabled{false};
    std::string lastError;
    std::vector<ReaderStatusEntry> goneOffline;  // handed out once, then empty
    std::vector<ReaderStatusEntry> goneOnline;   // handed out once, then empty
    std::vector<ReaderStatusEntry> onlineReaders;
    std::function<void()> duringSubscribedCheck;  // may throw
    std::function<void()> duringInitialData;      // e.g. deliver activities, as the real layer does
    std::function<void()> duringClose;            // runs as a translator closes its panel

    // What was asked, in order: "Init", "Open 7", "Connect 7", ...
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock_);
        return calls_;
    }
    int Count(const std::string& call) {
        int n = 0;
        for (const std::string& c : Calls()) n += c == call ? 1 : 0;
        return n;
    }
    void ClearCalls() {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.clear();
    }

    // The registered call-backs, as the native layer would call them.
    std::atomic<BadgeActivityCallback> badge{nullptr};
    std::atomic<AlarmEventCallback> alarm{nullptr};
    std::atomic<DisplayMessageCallback> display{nullptr};
    std::atomic<ServiceStatusChangedCallback> service{nullptr};

private:
    static inline FakeNative* instance = nullptr;

    static void Record(const std::string& call) {
        std::lock_guard<std::mutex> guard(instance->lock_);
        instance->calls_.push_back(call);
    }
    static std::string With(const char* name, std::int32_t panel) {
        return std::string(name) + " " + std::to_string(panel);
    }

    static void Fill(ReaderStatusList* list, const std::vector<ReaderStatusEntry>& entries) {
        if (!list || entries.empty()) return;
        list->items = new (std::nothrow) ReaderStatusEntry[entries.size()];
        if (!list->items) return;
        std::copy(entries.begin(), entries.end(), list->items);
        list->count = static_cast<std::int32_t>(entries.size());
    }

    static void __cdecl Init() { Record("Init"); }
    static bool __cdecl Open(std::int32_t panel) {
        Record(With("Open", panel));
        return true;
    }
    static bool __cdecl Connect(std::int32_t panel) {
        Record(With("Connect", panel));
        return instance->connectSucceeds.load();
    }
    static void __cdecl Close(std::int32_t panel) {
        Record(With("Close", panel));
        if (instance->duringClose) instance->duringClose();
    }
    static void __cdecl GetLastErrorMessage(char* buffer, std::int32_t size) {
        Record("GetLastErrorMessage " + std::to_string(size));
        const std::string& text = instance->lastError;
        const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    static bool __cdecl GetInitialData(std::int32_t panel) {
        Record(With("GetInitialData", panel));
        if (instance->duringInitialData) instance->duringInitialData();
        return true;
    }
    static void __cdecl GetReadersGoneOffline(std::int32_t panel, ReaderStatusList* list) {
        Record(With("GetReadersGoneOffline", panel));
        Fill(list, instance->goneOffline);
        instance->goneOffline.clear();
    }
    static void __cdecl GetReadersGoneOnline(std::int32_t panel, ReaderStatusList* list) {
        Record(With("GetReadersGoneOnline", panel));
        Fill(list, instance->goneOnline);
        instance->goneOnline.clear();
    }
    static void __cdecl GetReadersStatus3(std::int32_t panel, ReaderStatusList* list) {
        Record(With("GetReadersStatus3", panel));
        Fill(list, instance->onlineReaders);
    }
    static bool __cdecl GetSubscribed(std::int32_t panel) {
        Record(With("GetSubscribed", panel));
        if (instance->duringSubscribedCheck) instance->duringSubscribedCheck();
        return instance->subscribed.load();
    }
    static bool __cdecl IsBadgeEventFileEnabled() { return instance->badgeFileEnabled.load(); }
    static void __cdecl SetAlarm(AlarmEventCallback c) {
        Record("SetAlarmEventCallback");
        instance->alarm = c;
    }
    static void __cdecl SetBadge(BadgeActivityCallback c) {
        Record("SetBadgeActivityCallback");
        instance->badge = c;
    }
    static void __cdecl SetDisplay(DisplayMessageCallback c) {
        Record("SetDisplayMessageCallback");
        instance->display = c;
    }
    static void __cdecl SetService(ServiceStatusChangedCallback c) {
        Record("SetServiceStatusCallback");
        instance->service = c;
    }

    const NativeApi table{&Init,
                          &Open,
                          &Connect,
                          &Close,
                          &GetLastErrorMessage,
                          &GetInitialData,
                          &GetReadersGoneOffline,
                          &GetReadersGoneOnline,
                          &GetReadersStatus3,
                          &GetSubscribed,
                          &IsBadgeEventFileEnabled,
                          &SetAlarm,
                          &SetBadge,
                          &SetDisplay,
                          &SetService};
    std::mutex lock_;
    std::vector<std::string> calls_;
};

// ---------------------------------------------------------------- event sink

using RecordBytes = std::array<std::uint8_t, sizeof(_ORSMESSAGEEX)>;

struct Delivery {
    RecordBytes bytes{};
    bool nullText = true;
    std::wstring text;
    long value = -1;

    std::uint32_t U32(size_t offset) const {
        std::uint32_t v;
        std::memcpy(&v, bytes.data() + offset, 4);
        return v;
    }
    std::uint16_t U16(size_t offset) const {
        std::uint16_t v;
        std::memcpy(&v, bytes.data() + offset, 2);
        return v;
    }
    std::int64_t I64(size_t offset) const {
        std::int64_t v;
        std::memcpy(&v, bytes.data() + offset, 8);
        return v;
    }
};

// Records every event record it is handed. With offerRevision false it
// answers only IDistributeEvent, like a sink of an older host.
class RecordingSink final : public DistributeEventSinkBase {
public:
    static UniqueComPtr<RecordingSink> Make(bool offerRevision = true) {
        return UniqueComPtr<RecordingSink>(new RecordingSink(offerRevision));
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDistributeEvent) ||
            (offerRevision_ && IsEqualIID(iid, IID_IDistributeEvent2))) {
            *out = static_cast<IDistributeEvent2*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP DistributeEventEx(_ORSMESSAGEEX* record, BSTR text, LONG value) override {
        if (whileDelivering) whileDelivering();
        Delivery d;
        std::memcpy(d.bytes.data(), record, sizeof(*record));
        d.nullText = text == nullptr;
        if (text) d.text.assign(text, ::SysStringLen(text));
        d.value = value;
        std::lock_guard<std::mutex> guard(lock_);
        deliveries_.push_back(d);
        return answer;
    }

    std::vector<Delivery> Deliveries() {
        std::lock_guard<std::mutex> guard(lock_);
        return deliveries_;
    }
    size_t Count() { return Deliveries().size(); }
    ULONG References() const { return references_.load(); }

    std::function<void()> whileDelivering;  // runs on the delivering thread
    HRESULT answer = S_OK;                  // what the host answers each record

private:
    explicit RecordingSink(bool offerRevision) : offerRevision_(offerRevision) {}
    ~RecordingSink() = default;

    const bool offerRevision_;
    std::atomic<ULONG> references_{1};
    std::mutex lock_;
    std::vector<Delivery> deliveries_;
};

// ---------------------------------------------------------------- translator objects

// One translator object as the host holds it: created through the class
// factory and used only through its interfaces.
struct HostedTranslator {
    UniqueComPtr<ITranslate> translate;
    UniqueComPtr<ITranslate4> translate4;
    UniqueComPtr<IConnectionPoint> point;
    DWORD cookie = 0;

    static HostedTranslator Create(std::int32_t panelId = 7) {
        HostedTranslator t;
        auto* factory = new com::ClassFactory<CAccessControlTrans>();
        const HRESULT created =
            factory->CreateInstance(nullptr, IID_ITranslate, reinterpret_cast<void**>(t.translate.put()));
        factory->Release();
        EXPECT_EQ(created, S_OK);
        if (FAILED(created)) throw std::runtime_error("translator not created");
        t.translate.get()->QueryInterface(IID_ITranslate4, reinterpret_cast<void**>(t.translate4.put()));
        UniqueComPtr<IConnectionPointContainer> container;
        t.translate.get()->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
        container.get()->FindConnectionPoint(IID_IDistributeEvent, t.point.put());
        t.translate.get()->Ors_SetPanelID(panelId);
        return t;
    }

    HRESULT Advise(RecordingSink* sink) { return point.get()->Advise(static_cast<IDistributeEvent2*>(sink), &cookie); }
    ITranslate* operator->() const { return translate.get(); }

    // Drops every reference the test holds: the object is destroyed.
    void Release() {
        point.reset();
        translate4.reset();
        translate.reset();
    }
};

// A status request for the panel (device 0) and the given reader ids.
struct StatusRequest {
    std::vector<_SYSTEM_STATUS_ENTRY> entries;
    _SYSTEM_STATUS3 status{};

    explicit StatusRequest(std::vector<LONG> readerIds = {}) {
        entries.resize(readerIds.size() + 1);
        for (auto& e : entries) std::memset(&e, 0xAB, sizeof(e));  // the host's stale contents
        entries[0].nDeviceId = 0;
        for (size_t i = 0; i < readerIds.size(); ++i) entries[i + 1].nDeviceId = readerIds[i];
        status.nEntries = static_cast<LONG>(entries.size());
        status.pEntries = entries.data();
    }
    HRESULT Run(HostedTranslator& t) { return t.translate4.get()->Ors_GetSystemStatus3(&status); }
    std::vector<int> Online() const {
        std::vector<int> flags;
        for (const auto& e : entries) flags.push_back(e.nStatus);
        return flags;
    }
};

// ---------------------------------------------------------------- expected records

// An expected 216-byte record, written field by field at the offsets the host
// reads, independent of the record declarations.
class ExpectedRecord {
public:
    ExpectedRecord() {
        bytes_.fill(0);
        U32(0, 216);
    }
    ExpectedRecord& U8(size_t offset, std::uint8_t v) {
        bytes_[offset] = v;
        return *this;
    }
    ExpectedRecord& U16(size_t offset, std::uint16_t v) {
        std::memcpy(bytes_.data() + offset, &v, 2);
        return *this;
    }
    ExpectedRecord& U32(size_t offset, std::uint32_t v) {
        std::memcpy(bytes_.data() + offset, &v, 4);
        return *this;
    }
    ExpectedRecord& I64(size_t offset, std::int64_t v) {
        std::memcpy(bytes_.data() + offset, &v, 8);
        return *this;
    }
    const RecordBytes& Bytes() const { return bytes_; }

private:
    RecordBytes bytes_;
};

// Offsets of the fields the translator writes.
namespace at {
inline constexpr size_t kSize = 0, kMessageType = 4, kEventType = 5, kAssociatedText = 6, kSerial = 8, kTime = 12,
                        kPanel = 36, kDevice = 38, kEventId = 42, kDataType = 49, kDeviceType = 51, kData = 56;
}

// Lists the differing bytes of two records, for a readable failure.
inline std::string ByteDifferences(const RecordBytes& actual, const RecordBytes& expected) {
    std::string out;
    for (size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            out += "+" + std::to_string(i) + ": " + std::to_string(actual[i]) + " expected " +
                   std::to_string(expected[i]) + "\n";
        }
    }
    return out;
}

#define EXPECT_RECORD(delivery, expected) \
    EXPECT_EQ((delivery).bytes, (expected).Bytes()) << ByteDifferences((delivery).bytes, (expected).Bytes())

// ---------------------------------------------------------------- fixture

// Every translator test: its own module directory with a log at the lowest
// threshold, a test clock (local time 2024-03-05 14:07:09) and the scripted
// native layer. Translator objects made in a test body are gone before these.
class TranslatorTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t kClockHostTime = 1709647629;  // 2024-03-05T14:07:09 as seconds since 1970

    TranslatorTest() {
        TranslatorSettings settings;
        settings.log_level = "trace";
        ApplyLoggingSettings(settings);
    }

    std::vector<nlohmann::json> Logged(const std::string& event) { return LinesWithEvent(CurrentLogFilePath(), event); }

    TempModuleDirectory directory;
    ManualClock clock;
    FakeNative native;
};

}  // namespace tly::test
