#include "translator/NativeApi.h"

#include <atomic>

namespace {

const NativeApi exportsTable = {
    &TLYAPI_Init,
    &TLYAPI_Open,
    &TLYAPI_Connect,
    &TLYAPI_Close,
    &TLYAPI_GetLastErrorMessage,
    &TLYAPI_GetInitialData,
    &TLYAPI_GetReadersGoneOffline,
    &TLYAPI_GetReadersGoneOnline,
    &TLYAPI_GetReadersStatus3,
    &TLYAPI_GetSubscribed,
    &TLYAPI_IsBadgeEventFileEnabled,
    &TLYAPI_SetAlarmEventCallback,
    &TLYAPI_SetBadgeActivityCallback,
    &TLYAPI_SetDisplayMessageCallback,
    &TLYAPI_TallyportServiceStatusChangedCallback,
};

std::atomic<const NativeApi*> testTable{nullptr};

}  // namespace

const NativeApi& Native() {
    const NativeApi* table = testTable.load();
    return table ? *table : exportsTable;
}

void SetNativeApiForTesting(const NativeApi* api) { testTable.store(api); }
