#pragma once
// The native C interface of the translator library: sixteen exported functions
// over the one process-wide TLYApiImpl. Every function may be called from any
// thread and in any order; the instance is created by whichever comes first.

#include <cstdint>

extern "C" {

typedef void(__cdecl* BadgeActivityCallback)(std::int32_t readerIndex, std::int64_t badgeNumber,
                                             std::int32_t eventType, std::int32_t eventId, std::uint32_t eventTime);
typedef void(__cdecl* AlarmEventCallback)(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                                          std::int32_t eventId, std::uint32_t eventTime, const wchar_t* text);
typedef void(__cdecl* DisplayMessageCallback)(const wchar_t* text);
typedef void(__cdecl* ServiceStatusChangedCallback)(bool connected);

struct ReaderStatusEntry {
    std::int32_t readerIndex;
    std::uint8_t online;  // 1 online, 0 offline
};

// items is allocated by the library with the non-throwing array new and owned
// by the caller afterwards, who releases it with array delete.
struct ReaderStatusList {
    ReaderStatusEntry* items;
    std::int32_t count;
};

void __cdecl TLYAPI_Init();
bool __cdecl TLYAPI_Open(std::int32_t panelId);
bool __cdecl TLYAPI_Connect(std::int32_t panelId);
void __cdecl TLYAPI_Close(std::int32_t panelId);
void __cdecl TLYAPI_GetLastErrorMessage(char* buffer, std::int32_t bufferSize);
bool __cdecl TLYAPI_GetInitialData(std::int32_t panelId);
void __cdecl TLYAPI_FetchPendingActivities();
void __cdecl TLYAPI_GetReadersGoneOffline(std::int32_t panelId, ReaderStatusList* list);
void __cdecl TLYAPI_GetReadersGoneOnline(std::int32_t panelId, ReaderStatusList* list);
void __cdecl TLYAPI_GetReadersStatus3(std::int32_t panelId, ReaderStatusList* list);
bool __cdecl TLYAPI_GetSubscribed(std::int32_t panelId);
bool __cdecl TLYAPI_IsBadgeEventFileEnabled();
void __cdecl TLYAPI_SetAlarmEventCallback(AlarmEventCallback callback);
void __cdecl TLYAPI_SetBadgeActivityCallback(BadgeActivityCallback callback);
void __cdecl TLYAPI_SetDisplayMessageCallback(DisplayMessageCallback callback);
void __cdecl TLYAPI_TallyportServiceStatusChangedCallback(ServiceStatusChangedCallback callback);

}  // extern "C"
