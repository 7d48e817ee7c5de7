#pragma once
// How long a request to the server may take and how large its answer may be,
// in one place. Whatever the server (or a proxy, or a machine in the path)
// does, a request ends by its deadline and holds no more of an answer than its
// cap; either limit fails the request with a line of its own.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tly {

// The deadline of a request made on a thread with no call budget (the
// activity worker, the channel's thread, the settings watcher): from the
// first step to the last byte of the answer. Inside a host call the request
// gets what is left of the call's budget instead, when that is less.
constexpr std::uint32_t kRequestCeilingMs = 30000;
// The least a request that finishes work gets (a POST: a mark of a batch the
// host already has), even in a host call whose budget is spent: else the
// batch comes again. A host call's budget is a second short of its limit for
// that. A request that would start new work gets no floor: with no time left
// it is not sent.
constexpr std::uint32_t kFinishingRequestFloorMs = 1000;

// The largest answer taken from each endpoint. Generous: a site's lists and a
// pending batch are far smaller; the caps only stop an answer without end.
constexpr std::size_t kSiteListCapBytes = 32u << 20;      // "/doors", "/handhelds", a panel's readers
constexpr std::size_t kPendingBatchCapBytes = 16u << 20;  // "/pending_activities/..."
constexpr std::size_t kTokenAnswerCapBytes = 64u << 10;   // "/auth/token"
constexpr std::size_t kOtherAnswerCapBytes = 1u << 20;    // "/status", "/activities/batch_processed", ...

// The cap of an endpoint under the API's base path ("/doors", "/status"), or
// of "/auth/token".
std::size_t AnswerCapBytes(const std::string& endpoint);

// The deadline a request starting now gets on this thread, in milliseconds:
// what is left of the call's budget (at least the floor for a request that
// finishes work), at most the ceiling.
std::uint32_t RequestDeadlineMs(bool finishing = false);

}  // namespace tly
