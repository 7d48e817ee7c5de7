// The host's calls are the translator's clock: panel initialisation, polls and
// status requests notice the server side going and coming back, retry the
// connection at most every 30 s across all panels, and report the panel's and
// the readers' state.

#include "translator/AccessControlTrans.h"

#include "platform/Clock.h"
#include "translator/CommunicationFlags.h"
#include "translator/NativeApi.h"
#include "translator/NativeCallbacks.h"
#include "translator/ReaderList.h"
#include "translator/framework/ComMethod.h"

#include <exception>
#include <unordered_map>

bool CAccessControlTrans::InitPanel() {
    try {
        return InitPanelOrThrow();
    } catch (const std::exception& e) {
        LogTranslatorEvent(LogLevel::Error, "panel.init_failed", "InitPanel raised exception",
                           {{"panel_id", PanelId()}, {"exception", e.what()}});
    } catch (...) {
        LogTranslatorEvent(LogLevel::Error, "panel.init_failed_unknown", "InitPanel raised unknown exception",
                           PanelFields());
    }
    return false;
}

bool CAccessControlTrans::InitPanelOrThrow() {
    const NativeApi& native = Native();
    native.SetServiceStatusCallback(&tly::OnServiceStatusChanged);
    if (native.GetSubscribed(PanelId())) {
        Ors_PollPanelForEvents();
        return true;
    }
    if (CommunicationFlags::Process().TakeLoss(true)) {
        LogTranslatorEvent(LogLevel::Info, "panel.comm_lost", "Panel disconnected from Tallyport", PanelFields());
        NotifyCommLost();
    }
    // Even a successful reconnection answers false: the next call sees the
    // subscription and initialises the panel.
    TryReconnect("Reconnected to Tallyport");
    return false;
}

bool CAccessControlTrans::PrePoll() {
    tly::CurrentClock().Sleep(1000);
    if (Native().GetSubscribed(PanelId())) return true;
    TryReconnect("Reconnected to Tallyport (via PollPanel)");
    return false;
}

void CAccessControlTrans::TryReconnect(const char* successMessage) {
    if (!CommunicationFlags::Process().TryBeginReconnect(tly::CurrentClock().TickCount())) return;
    LogTranslatorEvent(LogLevel::Info, "panel.reconnect_attempt", "Attempting to reconnect to Tallyport",
                       PanelFields());
    if (Native().Connect(PanelId())) {
        LogTranslatorEvent(LogLevel::Info, "panel.reconnect_succeeded", successMessage, PanelFields());
    }
}

STDMETHODIMP CAccessControlTrans::Ors_PollPanelForEvents() {
    return tly::com::ComMethod([&]() -> HRESULT {
        if (!PrePoll()) return E_FAIL;
        ReportReaderChanges();
        if (CommunicationFlags::Process().InitialDataFetched() && Native().IsBadgeEventFileEnabled()) {
            RunBadgeEventFilePass();
        }
        return S_OK;
    });
}

// Only readers whose state differs from what this host last heard are
// reported: a reload re-queues every reader, and the host must not see each
// of them go offline and online again.
void CAccessControlTrans::ReportReaderChanges() {
    const NativeApi& native = Native();
    const std::int32_t panelId = PanelId();
    ReaderList offline;
    ReaderList online;
    native.GetReadersGoneOffline(panelId, offline.Receive());
    native.GetReadersGoneOnline(panelId, online.Receive());

    for (const ReaderChange& change : reportedReaders_.TakeChanges(offline.Entries(), online.Entries())) {
        if (change.online) {
            LogTranslatorEvent(LogLevel::Debug, "poll.reader_online", "Reader gone online",
                               {{"reader_id", change.readerId}, {"panel_id", panelId}});
        } else {
            LogTranslatorEvent(LogLevel::Debug, "poll.reader_offline", "Reader gone offline",
                               {{"reader_id", change.readerId}, {"panel_id", panelId}});
        }
        SendReaderStatus(change.readerId, change.online);
    }
}

STDMETHODIMP CAccessControlTrans::Ors_GetPanelState(int* Value) {
    if (!Value) return E_POINTER;
    return tly::com::ComMethod([&]() -> HRESULT {
        *Value = Native().GetSubscribed(PanelId()) ? 1 : 0;
        return S_OK;
    });
}

STDMETHODIMP CAccessControlTrans::Ors_GetSystemStatus3(_SYSTEM_STATUS3* pStatus) {
    if (!pStatus) return E_POINTER;
    return tly::com::ComMethod([&]() -> HRESULT {
        const NativeApi& native = Native();
        CommunicationFlags& flags = CommunicationFlags::Process();
        const std::int32_t panelId = PanelId();
        pStatus->nPanelId = panelId;
        pStatus->bAsyncStatus = 0;
        // The host sized the array and named each entry's device; entry 0 is the panel.
        std::span<_SYSTEM_STATUS_ENTRY> entries;
        if (pStatus->pEntries && pStatus->nEntries > 0) {
            entries = {pStatus->pEntries, static_cast<std::size_t>(pStatus->nEntries)};
        }

        if (!native.GetSubscribed(panelId)) {
            for (_SYSTEM_STATUS_ENTRY& entry : entries) entry.nStatus = 0;
            reportedReaders_.Forget();  // the host now holds every reader offline
            if (flags.TakeLoss(false)) NotifyCommLost();
            RunOfflineStep();
            return S_OK;
        }

        pStatus->bDownloadingFirmware = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            _SYSTEM_STATUS_ENTRY& entry = entries[i];
            entry.nStatus = i == 0 ? 1 : 0;
            entry.nExtStatus = 0;
            if (i == 0) continue;
            entry.nExtMaskedStatus = 0;
            entry.nAlternateReaderStatus = 0;
            entry.nDeviceMode = 100;
        }
        ReaderList readers;
        native.GetReadersStatus3(panelId, readers.Receive());
        // An online reader marks the first entry (from entry 0 on) that names it.
        std::unordered_map<LONG, _SYSTEM_STATUS_ENTRY*> firstEntry;
        if (!readers.Entries().empty()) {
            firstEntry.reserve(entries.size());
            for (_SYSTEM_STATUS_ENTRY& entry : entries) firstEntry.try_emplace(entry.nDeviceId, &entry);
        }
        for (const ReaderStatusEntry& reader : readers.Entries()) {
            if (!reader.online) continue;
            auto named = firstEntry.find(reader.readerIndex);
            if (named != firstEntry.end()) named->second->nStatus = 1;
        }

        switch (flags.NoteSubscribed()) {
            case CommunicationFlags::Restore::Connected:
                LogTranslatorEvent(LogLevel::Info, "panel.comm_restored", "Panel connected to Tallyport",
                                   PanelFields());
                break;
            case CommunicationFlags::Restore::Complete:
                SendRestoredEvent();
                LogTranslatorEvent(LogLevel::Debug, "panel.processing_pending",
                                   "Fetching initial data and processing pending activities", PanelFields());
                native.GetInitialData(panelId);
                if (native.IsBadgeEventFileEnabled()) RunBadgeEventFilePass();
                break;
            case CommunicationFlags::Restore::None:
                break;
        }
        return S_OK;
    });
}
