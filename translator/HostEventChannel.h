#pragma once
// What a translator object needs to send event records to its host: its panel
// id, its event serial numbers and the host's event interface. It is shared
// (std::shared_ptr) between the object and the call-backs delivering to it, so
// a delivery that is under way when the object is destroyed finishes on the
// channel and never touches the destroyed object.

#include "TallyportAccessControl.h"
#include "platform/UniqueResource.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

class HostEventChannel {
public:
    HostEventChannel() = default;
    HostEventChannel(const HostEventChannel&) = delete;
    HostEventChannel& operator=(const HostEventChannel&) = delete;

    std::int32_t PanelId() const noexcept { return panelId_.load(); }
    void SetPanelId(std::int32_t panelId) noexcept { panelId_.store(panelId); }

    // Advances the event serial number and returns the new value.
    std::uint32_t NextSerialNumber() noexcept;
    // The next record gets serial + 1.
    void SetSerialNumber(std::uint32_t serial) noexcept;

    // The host's event interface, queried from the advised sink. Replacing or
    // dropping it releases the old reference outside the lock.
    void AttachSink(tly::UniqueComPtr<IDistributeEvent2> sink) noexcept;
    void DetachSink() noexcept;

    // The one path to the host: builds the extended record and calls the
    // sink's event method. Without a sink nothing is sent. True when the sink
    // took the record.
    bool Distribute(const _ORSMESSAGE& record) noexcept;
    // The same for records that carry a text (alarms); an empty text goes as
    // a null BSTR.
    bool DistributeWithText(const _ORSMESSAGE& record, std::wstring_view text) noexcept;

private:
    bool Send(const _ORSMESSAGE& record, std::wstring_view text, bool textPath) noexcept;
    bool SendOrThrow(const _ORSMESSAGE& record, std::wstring_view text, bool textPath);

    std::atomic<std::int32_t> panelId_{0};
    std::mutex lock_;
    std::uint32_t serial_ = 0;               // guarded by lock_
    tly::UniqueComPtr<IDistributeEvent2> sink_;  // guarded by lock_
};
