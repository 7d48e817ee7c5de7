#pragma once
// The native functions the translator calls, gathered in one table so that
// tests can put a scripted native layer under a real translator object. In the
// product the table holds the TLYAPI_* exports themselves.

#include "api/TLYApi.h"

struct NativeApi {
    decltype(&TLYAPI_Init) Init;
    decltype(&TLYAPI_Open) Open;
    decltype(&TLYAPI_Connect) Connect;
    decltype(&TLYAPI_Close) Close;
    decltype(&TLYAPI_GetLastErrorMessage) GetLastErrorMessage;
    decltype(&TLYAPI_GetInitialData) GetInitialData;
    decltype(&TLYAPI_GetReadersGoneOffline) GetReadersGoneOffline;
    decltype(&TLYAPI_GetReadersGoneOnline) GetReadersGoneOnline;
    decltype(&TLYAPI_GetReadersStatus3) GetReadersStatus3;
    decltype(&TLYAPI_GetSubscribed) GetSubscribed;
    decltype(&TLYAPI_IsBadgeEventFileEnabled) IsBadgeEventFileEnabled;
    decltype(&TLYAPI_SetAlarmEventCallback) SetAlarmEventCallback;
    decltype(&TLYAPI_SetBadgeActivityCallback) SetBadgeActivityCallback;
    decltype(&TLYAPI_SetDisplayMessageCallback) SetDisplayMessageCallback;
    decltype(&TLYAPI_TallyportServiceStatusChangedCallback) SetServiceStatusCallback;
};

// The table in force.
const NativeApi& Native();

// Installs a table for tests; null restores the exports. The caller keeps
// ownership and must outlive every use.
void SetNativeApiForTesting(const NativeApi* api);
