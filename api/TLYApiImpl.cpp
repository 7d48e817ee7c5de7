#include "api/TLYApiImpl.h"

#include "api/DeliveryPanel.h"
#include "api/HostCallBudget.h"
#include "logging/Log.h"

#include <windows.h>

#include <algorithm>

namespace {
std::atomic<TLYApiImpl*> g_instance{nullptr};
std::mutex g_instanceMutex;
}  // namespace

// Created on first use and not destroyed by the runtime's exit handlers: at
// process exit the other threads are already gone and nothing may be joined or
// closed. DestroyAtUnload frees it when the module is unloaded while idle.
TLYApiImpl& TLYApiImpl::Instance() {
    if (TLYApiImpl* instance = g_instance.load(std::memory_order_acquire)) return *instance;
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (!g_instance.load()) g_instance.store(new TLYApiImpl, std::memory_order_release);
    return *g_instance.load();
}

void TLYApiImpl::DestroyAtUnload() {
    TLYApiImpl* instance = g_instance.exchange(nullptr);
    if (!instance) return;
    // Still in use: leave it rather than block or call out under the loader lock.
    if (instance->watcherRunning.load() || instance->liveActivityWorkers.load() > 0 || instance->webSocket.IsConnected() ||
        instance->restClient.IsInitialized()) {
        return;
    }
    delete instance;
}

// Construction performs no I/O and logs nothing: the settings file is read
// only when a panel is opened.
TLYApiImpl::TLYApiImpl() {
    webSocket.SetMessageCallback([this](const std::string& text) { OnWebSocketMessage(text); });
    webSocket.SetStateCallback([this](bool connected) { OnWebSocketStateChanged(connected); });
}

TLYApiImpl::~TLYApiImpl() {
    StopSettingsWatcher();
    StopActivityWorker();
    webSocket.Close();
    restClient.Close();
}

void TLYApiImpl::SetLastError(const std::string& text) {
    std::lock_guard<std::mutex> lock(lastErrorMutex);
    lastError = text;
}

void TLYApiImpl::ClearLastError() {
    std::lock_guard<std::mutex> lock(lastErrorMutex);
    lastError.clear();
}

std::string TLYApiImpl::GetLastError() const {
    std::lock_guard<std::mutex> lock(lastErrorMutex);
    return lastError;
}

void TLYApiImpl::RegisterPanel(std::int32_t panelId) { panels.Open(panelId); }

void TLYApiImpl::UnregisterPanel(std::int32_t panelId) {
    panels.Close(panelId);
    readerTransitions.ForgetPanel(panelId);
}

bool TLYApiImpl::IsPanelOpen(std::int32_t panelId) const { return panels.IsOpen(panelId); }

// Called after the panel was unregistered, so no new delivery can start. A
// host that closes the panel from inside its own sink, while this thread
// delivers to it, is not waited for. The wait is bounded by the close's time
// budget: a sink that blocks on the closing thread must not hang both.
void TLYApiImpl::WaitForPanelDeliveries(std::int32_t panelId) {
    if (CurrentDeliveryPanel() == panelId) return;
    constexpr std::uint32_t kMostWaitMs = 10000;
    if (!panels.WaitForDeliveries(panelId, std::min(kMostWaitMs, HostCallBudget::RemainingMs()))) {
        LogApiEvent(LogLevel::Warn, "close.delivery_wait_timeout", "A delivery to the closing panel is still under way",
                    {{"panel_id", panelId}});
    }
}

std::int32_t TLYApiImpl::ActivePanelCount() const { return panels.Count(); }

std::vector<std::int32_t> TLYApiImpl::PanelIdsSnapshot() const { return panels.Snapshot(); }

TranslatorSettings TLYApiImpl::SettingsSnapshot() const {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return settings;
}

bool TLYApiImpl::IsBadgeEventFileEnabled() const {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return settings.enable_badge_event_file;
}

void TLYApiImpl::ReplaceSiteForTesting(std::vector<DoorInfo> newDoors, std::vector<HandheldInfo> newHandhelds,
                                       std::vector<ReaderInfo> newReaders, std::vector<HandheldInfo> newConnected) {
    std::scoped_lock lock(connectedReadersMutex, handheldsMutex, readersMutex, doorsMutex);
    doors = std::move(newDoors);
    handhelds = std::move(newHandhelds);
    readers = std::move(newReaders);
    connectedReaders = std::move(newConnected);
    doorsById.MarkStale();
    handheldsByGuid.MarkStale();
    readersByGuid.MarkStale();
    readersById.MarkStale();
}

std::vector<HandheldInfo> TLYApiImpl::ConnectedReadersSnapshot() {
    std::lock_guard<std::mutex> lock(connectedReadersMutex);
    return connectedReaders;
}
