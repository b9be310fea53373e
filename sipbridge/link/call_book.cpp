#include "sipbridge/link/call_book.h"

#include <algorithm>

ua_call* call_book::find(const std::string& id, const std::string& aor, const std::string& peer)
{
    // By id where the event has one; a call whose id is not known yet is
    // the newest one of that account and peer without an id.
    for (auto call = calls_.rbegin(); call != calls_.rend(); ++call)
        if (!id.empty() && call->id == id)
            return &*call;
    for (auto call = calls_.rbegin(); call != calls_.rend(); ++call)
        if (call->id.empty() && call->aor == aor && call->peer == peer) {
            call->id = id;
            return &*call;
        }
    return nullptr;
}

bool call_book::note_outgoing(const std::string& id, const std::string& aor, const std::string& peer)
{
    if (find(id, aor, peer))
        return false;
    calls_.push_back({id, aor, peer, true, false});
    return true;
}

void call_book::note_incoming(const std::string& id, const std::string& aor, const std::string& peer)
{
    if (!find(id, aor, peer))
        calls_.push_back({id, aor, peer, false, false});
}

void call_book::note_established(const std::string& id, const std::string& aor, const std::string& peer)
{
    if (ua_call* call = find(id, aor, peer))
        call->established = true;
}

void call_book::note_closed(const std::string& id, const std::string& aor, const std::string& peer)
{
    if (ua_call* call = find(id, aor, peer))
        calls_.erase(calls_.begin() + (call - calls_.data()));
}

const ua_call* call_book::current() const
{
    return calls_.empty() ? nullptr : &calls_.back();
}

const ua_call* call_book::ringing_in() const
{
    for (const ua_call& call : calls_)
        if (!call.outgoing && !call.established)
            return &call;
    return nullptr;
}

const ua_call* call_book::in_call() const
{
    for (auto call = calls_.rbegin(); call != calls_.rend(); ++call)
        if (call->established)
            return &*call;
    return nullptr;
}

bool call_book::first_dtmf_refusal(const std::string& id, const std::string& aor, const std::string& peer)
{
    ua_call* call = find(id, aor, peer);
    if (!call) {
        // A call that was up before the bridge connected.
        const bool first = id != unknown_refused_;
        unknown_refused_ = id;
        return first;
    }
    const bool first = !call->dtmf_refusal_said;
    call->dtmf_refusal_said = true;
    return first;
}

std::vector<ua_call> call_book::newest_first() const
{
    return {calls_.rbegin(), calls_.rend()};
}

account_call_status call_book::status_of(const std::string& aor) const
{
    account_call_status status = account_call_status::idle;
    for (const ua_call& call : calls_) {
        if (call.aor != aor)
            continue;
        const account_call_status phase = call.established ? account_call_status::answered
                                          : call.outgoing  ? account_call_status::outgoing_ringing
                                                           : account_call_status::incoming_ringing;
        status = std::max(status, phase);
    }
    return status;
}
