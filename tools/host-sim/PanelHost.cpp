#include "tools/host-sim/PanelHost.h"

#include "TallyportAccessControl.h"
#include "platform/ComApartment.h"
#include "platform/UniqueResource.h"
#include "tools/host-sim/EventSink.h"

#include <objbase.h>
#include <ocidl.h>

#include <string>
#include <vector>

namespace hostsim {
namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The status entries the host asks about: the panel (device 0) and its readers.
std::vector<_SYSTEM_STATUS_ENTRY> StatusEntries(std::int32_t readers) {
    std::vector<_SYSTEM_STATUS_ENTRY> entries(static_cast<size_t>(readers) + 1);
    for (size_t i = 0; i < entries.size(); ++i) entries[i].nDeviceId = static_cast<LONG>(i);
    return entries;
}

}  // namespace

int RunPanel(const Options& options, std::int32_t panel, EventPrinter& printer, CallbackFaults& faults,
             HANDLE stop) {
    tly::ComApartment apartment(COINIT_MULTITHREADED);
    if (FAILED(apartment.Result())) {
        printer.Call(panel, "CoInitializeEx", apartment.Result());
        return 3;
    }

    CLSID clsid{};
    HRESULT result = ::CLSIDFromProgID(Wide(options.progId).c_str(), &clsid);
    if (FAILED(result)) {
        printer.Note(panel, "ProgID " + options.progId + " is not registered (regsvr32 the translator DLL)");
        return 3;
    }
    tly::UniqueComPtr<ITranslate> translator;
    result = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITranslate,
                                reinterpret_cast<void**>(translator.put()));
    printer.Call(panel, "CoCreateInstance", result);
    if (FAILED(result)) return 3;

    tly::UniqueComPtr<ITranslate4> translator4;
    tly::UniqueComPtr<IConnectionPointContainer> container;
    tly::UniqueComPtr<IConnectionPoint> point;
    translator.get()->QueryInterface(IID_ITranslate4, reinterpret_cast<void**>(translator4.put()));
    translator.get()->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    if (!translator4 || !container) {
        printer.Note(panel, "the translator lacks ITranslate4 or IConnectionPointContainer");
        return 3;
    }
    result = container.get()->FindConnectionPoint(IID_IDistributeEvent, point.put());
    tly::UniqueComPtr<IDistributeEvent2> sink(new EventSink(panel, printer, faults));
    DWORD cookie = 0;
    if (SUCCEEDED(result)) result = point.get()->Advise(sink.get(), &cookie);
    printer.Call(panel, "Advise", result);
    if (FAILED(result)) return 3;

    printer.Call(panel, "Ors_SetPanelID", translator.get()->Ors_SetPanelID(panel));
    printer.Call(panel, "Ors_CreateCommunicationObject", translator.get()->Ors_CreateCommunicationObject());
    printer.Call(panel, "Ors_InitCommunication", translator.get()->Ors_InitCommunication());

    std::vector<_SYSTEM_STATUS_ENTRY> entries = StatusEntries(options.readers);
    bool reported = false;
    bool lastPanelOnline = false;
    std::vector<std::int32_t> lastReaders;
    HRESULT lastInitialize = S_OK;
    HRESULT lastPoll = S_OK;
    bool firstCycle = true;
    while (::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
        LONG online = 0;
        translator.get()->Ors_IsPanelOnline(&online);
        if (!online) {
            const HRESULT initialized = translator.get()->Ors_InitializePanel();
            if (firstCycle || initialized != lastInitialize) printer.Call(panel, "Ors_InitializePanel", initialized);
            lastInitialize = initialized;
        }
        const HRESULT polled = translator.get()->Ors_PollPanelForEvents();
        if (firstCycle || polled != lastPoll) printer.Call(panel, "Ors_PollPanelForEvents", polled);
        lastPoll = polled;
        firstCycle = false;

        _SYSTEM_STATUS3 status{};
        status.nEntries = static_cast<LONG>(entries.size());
        status.pEntries = entries.data();
        translator4.get()->Ors_GetSystemStatus3(&status);
        const bool panelOnline = !entries.empty() && entries[0].nStatus == 1;
        std::vector<std::int32_t> readers;
        for (size_t i = 1; i < entries.size(); ++i) {
            if (entries[i].nStatus == 1) readers.push_back(entries[i].nDeviceId);
        }
        if (!reported || panelOnline != lastPanelOnline || readers != lastReaders) {
            printer.Status(panel, panelOnline, readers);
            reported = true;
            lastPanelOnline = panelOnline;
            lastReaders = readers;
        }
        if (options.pollIntervalMs > 0) ::WaitForSingleObject(stop, options.pollIntervalMs);
    }

    printer.Call(panel, "Unadvise", point.get()->Unadvise(cookie));
    printer.Call(panel, "Ors_CloseCommunication", translator.get()->Ors_CloseCommunication());
    return 0;
}

}  // namespace hostsim
