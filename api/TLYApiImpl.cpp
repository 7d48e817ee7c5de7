#include "api/TLYApiImpl.h"

#include "api/ChannelMessages.h"
#include "api/DeliveryPanel.h"
#include "api/HostCallBudget.h"
#include "logging/DataDirectory.h"
#include "logging/Log.h"
#include "platform/Mutex.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace {

// The one instance of the process, and the lock that creates it.
struct InstanceSlot {
    std::atomic<TLYApiImpl*> instance{nullptr};
    tly::Mutex creating;
};

InstanceSlot& Slot() {
    static InstanceSlot slot;
    return slot;
}

}  // namespace

// Created on first use and not destroyed by the runtime's exit handlers: at
// process exit the other threads are already gone and nothing may be joined or
// closed. DestroyAtUnload frees it when the module is unloaded while idle.
TLYApiImpl& TLYApiImpl::Instance() {
    InstanceSlot& slot = Slot();
    if (TLYApiImpl* instance = slot.instance.load(std::memory_order_acquire)) return *instance;
    tly::MutexLock lock(slot.creating);
    if (!slot.instance.load()) slot.instance.store(new TLYApiImpl, std::memory_order_release);
    return *slot.instance.load();
}

void TLYApiImpl::DestroyAtUnload() {
    TLYApiImpl* instance = Slot().instance.exchange(nullptr);
    if (!instance) return;
    // Still in use: leave it rather than block or call out under the loader lock.
    if (instance->watcher.ThreadAlive() || instance->activities.AnyWorkerAlive() || instance->connection.ChannelUp() ||
        instance->connection.RestReady()) {
        return;
    }
    delete instance;
}

// Construction performs no I/O and logs nothing: the settings file is read
// only when a panel is opened.
TLYApiImpl::TLYApiImpl() = default;

TLYApiImpl::~TLYApiImpl() {
    StopSettingsWatcher();
    activities.StopWorker();
    connection.Close();
}

void TLYApiImpl::SetLastError(const std::string& text) { lastError.Set(text); }

void TLYApiImpl::ClearLastError() { lastError.Clear(); }

std::string TLYApiImpl::GetLastError() const { return lastError.Get(); }

void TLYApiImpl::RegisterPanel(std::int32_t panelId) { panels.Open(panelId); }

void TLYApiImpl::UnregisterPanel(std::int32_t panelId) {
    panels.Close(panelId);
    readerTransitions.ForgetPanel(panelId);
}

bool TLYApiImpl::IsPanelOpen(std::int32_t panelId) const { return panels.IsOpen(panelId); }

std::int32_t TLYApiImpl::ActivePanelCount() const { return panels.Count(); }

std::vector<std::int32_t> TLYApiImpl::PanelIdsSnapshot() const { return panels.Snapshot(); }

TranslatorSettings TLYApiImpl::SettingsSnapshot() const { return settings.Get(); }

bool TLYApiImpl::IsBadgeEventFileEnabled() const { return settings.BadgeEventFileEnabled(); }

void TLYApiImpl::ReplaceSiteForTesting(std::vector<DoorInfo> newDoors, std::vector<HandheldInfo> newHandhelds,
                                       std::vector<ReaderInfo> newReaders, std::vector<HandheldInfo> newConnected) {
    site.ReplaceAll(std::move(newDoors), std::move(newHandhelds), std::move(newReaders), std::move(newConnected));
}

std::vector<HandheldInfo> TLYApiImpl::ConnectedReadersSnapshot() { return site.ConnectedSnapshot(); }

bool TLYApiImpl::GetInitialData(std::int32_t panelId) {
    const bool loaded = siteLoader.LoadAll(panelId);
    FetchAndProcessPendingActivities();
    return loaded;
}

void TLYApiImpl::ReloadAndListOnlineReaders(std::int32_t panelId, ReaderStatusList* list) {
    if (!list) return;
    list->items = nullptr;
    list->count = 0;

    // IsConnected first, then the serial (see TLYWebSocket::ConnectionSerial).
    const bool channelUp = connection.ChannelUp();
    siteLoader.LoadForStatus(panelId, channelUp, channelUp ? connection.ChannelSerial() : 0);
    // Asked every second per panel whether or not anything waits: the run,
    // when one is due, is the worker's; the answer comes from the site model.
    activities.AskForPanelStatus(panelId, channelUp);
    status.NoteStatusRequest(panelId);
    PublishStatusIfDue();

    const std::vector<std::int32_t> indices = site.OnlineReaderIndices(panelId);
    if (indices.empty()) return;
    auto* items = new (std::nothrow) ReaderStatusEntry[indices.size()];
    if (!items) return;
    for (size_t i = 0; i < indices.size(); ++i) items[i] = {indices[i], 1};
    list->items = items;
    list->count = static_cast<std::int32_t>(indices.size());
}

StatusSources TLYApiImpl::GatherStatus() const {
    StatusSources sources;
    sources.openPanels = panels.Snapshot();
    sources.links = panelLinks.Snapshot();
    for (const auto& [panelId, totals] : activities.Counters().Snapshot()) {
        sources.deliveries[panelId] = {totals.delivered, totals.marked, totals.refused, totals.lastId};
    }
    DeliveryJournal::Counts journal = activities.JournalCounts();
    sources.journalBytes = journal.fileBytes;
    sources.takenUnmarked = std::move(journal.taken);
    sources.heldBack = std::move(journal.heldBack);
    sources.channelUp = connection.ChannelUp();
    return sources;
}

void TLYApiImpl::OpenDeliveryJournal() { activities.OpenJournal(DataDirectory()); }

void TLYApiImpl::OnWebSocketMessage(const std::string& text) {
    DispatchChannelMessage(text, site, [this] { OnActivitiesAvailable(); });
}

void TLYApiImpl::OnWebSocketStateChanged(bool connected) {
    LogApiEvent(LogLevel::Info, "websocket.connection_state_changed",
                connected ? "WebSocket connected" : "WebSocket disconnected", {{"connected", connected}});
}
