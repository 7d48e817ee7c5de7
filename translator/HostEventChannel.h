#pragma once
// What a translator object needs to send event records to its host: its panel
// id, its event serial numbers and the host's event interface. It is shared
// (std::shared_ptr) between the object and the call-backs delivering to it, so
// a delivery that is under way when the object is destroyed finishes on the
// channel and never touches the destroyed object.

#include "TallyportAccessControl.h"
#include "platform/Mutex.h"
#include "platform/UniqueResource.h"

#include <atomic>
#include <cstdint>
#include <string_view>

class HostEventChannel {
public:
    HostEventChannel() = default;
    HostEventChannel(const HostEventChannel&) = delete;
    HostEventChannel& operator=(const HostEventChannel&) = delete;

    std::int32_t PanelId() const noexcept { return panelId_.load(); }
    void SetPanelId(std::int32_t panelId) noexcept { panelId_.store(panelId); }

    // Advances the event serial number and returns the new value.
    std::uint32_t NextSerialNumber() noexcept TLY_EXCLUDES(lock_);
    // The next record gets serial + 1.
    void SetSerialNumber(std::uint32_t serial) noexcept TLY_EXCLUDES(lock_);

    // The host's event interface, queried from the advised sink. Replacing or
    // dropping it releases the old reference outside the lock.
    void AttachSink(tly::UniqueComPtr<IDistributeEvent2> sink) noexcept TLY_EXCLUDES(lock_);
    void DetachSink() noexcept TLY_EXCLUDES(lock_);

    // The one path to the host: builds the extended record and calls the
    // sink's event method. Without a sink nothing is sent. True when the sink
    // took the record.
    bool Distribute(const _ORSMESSAGE& record) noexcept;
    // The same for records that carry a text (alarms); an empty text goes as
    // a null BSTR.
    bool DistributeWithText(const _ORSMESSAGE& record, std::wstring_view text) noexcept;

private:
    bool Send(const _ORSMESSAGE& record, std::wstring_view text, bool textPath) noexcept TLY_EXCLUDES(lock_);
    bool SendOrThrow(const _ORSMESSAGE& record, std::wstring_view text, bool textPath) TLY_EXCLUDES(lock_);

    std::atomic<std::int32_t> panelId_{0};
    tly::Mutex lock_;  // leaf; never held while the sink is called
    std::uint32_t serial_ TLY_GUARDED_BY(lock_) = 0;
    tly::UniqueComPtr<IDistributeEvent2> sink_ TLY_GUARDED_BY(lock_);
};
