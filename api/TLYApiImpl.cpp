#include "api/TLYApiImpl.h"

#include <algorithm>

TLYApiImpl& TLYApiImpl::Instance() {
    static TLYApiImpl instance;
    return instance;
}

// Construction performs no I/O and logs nothing: the settings file is read
// only when a panel is opened.
TLYApiImpl::TLYApiImpl() {
    webSocket.SetMessageHandler([this](const std::string& text) { OnWebSocketMessage(text); });
    webSocket.SetStateHandler([this](bool connected) { OnWebSocketStateChanged(connected); });
}

TLYApiImpl::~TLYApiImpl() {
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

void TLYApiImpl::RegisterPanel(std::int32_t panelId) {
    std::lock_guard<std::mutex> lock(panelsMutex);
    if (std::find(panelIds.begin(), panelIds.end(), panelId) == panelIds.end()) panelIds.push_back(panelId);
}

void TLYApiImpl::UnregisterPanel(std::int32_t panelId) {
    std::lock_guard<std::mutex> lock(panelsMutex);
    panelIds.erase(std::remove(panelIds.begin(), panelIds.end(), panelId), panelIds.end());
    readersGoneOnline.erase(panelId);
    readersGoneOffline.erase(panelId);
}

std::int32_t TLYApiImpl::ActivePanelCount() const {
    std::lock_guard<std::mutex> lock(panelsMutex);
    return static_cast<std::int32_t>(panelIds.size());
}

std::vector<std::int32_t> TLYApiImpl::PanelIdsSnapshot() const {
    std::lock_guard<std::mutex> lock(panelsMutex);
    return panelIds;
}

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
}

std::vector<HandheldInfo> TLYApiImpl::ConnectedReadersSnapshot() {
    std::lock_guard<std::mutex> lock(connectedReadersMutex);
    return connectedReaders;
}
