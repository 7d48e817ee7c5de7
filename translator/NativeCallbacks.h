#pragma once
// The call-backs the translator registers with the native layer. They run on
// host threads and on the native layer's own threads; each delivers to the
// current translator (CurrentTranslator.h), does nothing when there is none,
// and lets no exception out.

#include <cstdint>

namespace tly {

void __cdecl OnBadgeActivity(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                             std::int32_t eventId, std::uint32_t eventTime);
void __cdecl OnAlarmEvent(std::int32_t readerIndex, std::int64_t badgeNumber, std::int32_t eventType,
                          std::int32_t eventId, std::uint32_t eventTime, const wchar_t* text);
void __cdecl OnDisplayMessage(const wchar_t* text);
void __cdecl OnServiceStatusChanged(bool connected);

}  // namespace tly
