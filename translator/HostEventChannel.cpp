#include "translator/HostEventChannel.h"

#include "translator/HostEventRecords.h"

#include <climits>
#include <utility>

std::uint32_t HostEventChannel::NextSerialNumber() noexcept {
    tly::MutexLock guard(lock_);
    return ++serial_;
}

void HostEventChannel::SetSerialNumber(std::uint32_t serial) noexcept {
    tly::MutexLock guard(lock_);
    serial_ = serial;
}

void HostEventChannel::AttachSink(tly::UniqueComPtr<IDistributeEvent2> sink) noexcept {
    {
        tly::MutexLock guard(lock_);
        std::swap(sink_, sink);
    }
    // sink now holds the old reference, released here without the lock.
}

void HostEventChannel::DetachSink() noexcept { AttachSink({}); }

bool HostEventChannel::Distribute(const _ORSMESSAGE& record) noexcept { return Send(record, {}, false); }

bool HostEventChannel::DistributeWithText(const _ORSMESSAGE& record, std::wstring_view text) noexcept {
    return Send(record, text, true);
}

bool HostEventChannel::Send(const _ORSMESSAGE& record, std::wstring_view text, bool textPath) noexcept {
    try {
        return SendOrThrow(record, text, textPath);
    } catch (...) {
        return false;  // a sink that throws has not taken the record
    }
}

bool HostEventChannel::SendOrThrow(const _ORSMESSAGE& record, std::wstring_view text, bool textPath) {
    _ORSMESSAGEEX extended = tly::ExtendedRecord(record, !text.empty());
    if (textPath && extended.sl_Time == 0) extended.sl_Time = tly::CurrentUtcSeconds();

    // Copy the interface under the lock and call it without.
    tly::UniqueComPtr<IDistributeEvent2> sink;
    {
        tly::MutexLock guard(lock_);
        sink = tly::AddReference(sink_.get());
    }
    if (!sink) return false;

    if (extended.sb_MessageType == 0 && extended.sl_SerialNumber == 0 && extended.sb_DeviceType != 1) {
        extended.sl_SerialNumber = NextSerialNumber();
    }
    // A text that cannot be copied (out of memory, or beyond a BSTR's length)
    // leaves the record to go without it.
    tly::UniqueBstr bstr;
    if (!text.empty() && text.size() < UINT_MAX / sizeof(wchar_t)) {
        bstr.reset(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    }
    const HRESULT result = sink.get()->DistributeEventEx(&extended, bstr.get(), 0);
    return SUCCEEDED(result);
}
