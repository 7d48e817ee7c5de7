#include "transport/RequestLimits.h"

#include "platform/CallBudget.h"

#include <algorithm>

namespace tly {
namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

std::size_t AnswerCapBytes(const std::string& endpointWithQuery) {
    const std::string endpoint = endpointWithQuery.substr(0, endpointWithQuery.find('?'));
    if (endpoint == "/doors" || endpoint == "/handhelds") return kSiteListCapBytes;
    if (StartsWith(endpoint, "/panels/")) return kSiteListCapBytes;
    if (StartsWith(endpoint, "/pending_activities/")) return kPendingBatchCapBytes;
    if (endpoint == "/auth/token") return kTokenAnswerCapBytes;
    return kOtherAnswerCapBytes;
}

std::uint32_t RequestDeadlineMs(bool finishing) {
    const std::uint32_t left = CallBudgetRemainingMs();
    return std::min(kRequestCeilingMs, finishing ? std::max(kFinishingRequestFloorMs, left) : left);
}

}  // namespace tly
