#pragma once
// The call-backs the translator registers with the native layer. They run on
// host threads and on the native layer's own threads; each delivers to the
// translator of the panel being delivered (CurrentTranslator.h), refuses the
// delivery when that panel has none or its host did not take the record (no
// sink advised, or the sink failed): the activity then stays pending. They
// let no exception out.

#include <cstdint>

namespace tly {

void __cdecl OnBadgeActivity(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                             std::int32_t eventId, std::uint32_t eventTime);
void __cdecl OnAlarmEvent(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                          std::int32_t eventId, std::uint32_t eventTime, const wchar_t* text);
void __cdecl OnDisplayMessage(const wchar_t* text);
void __cdecl OnServiceStatusChanged(bool connected);

}  // namespace tly
