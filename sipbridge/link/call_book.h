// The calls of the user agent as the bridge follows them from its events:
// which are up, on which account, in which direction and phase. The user
// agent can end a call only through its account and id, and the station's
// call-status keys are a view of this book.
#pragma once

#include <string>
#include <vector>

#include "sipbridge/link/bridge_rules.h"

struct ua_call {
    std::string id;    // empty until an event names it
    std::string aor;   // the station's account
    std::string peer;  // the far end
    bool outgoing = true;
    bool established = false;
    bool dtmf_refusal_said = false;
};

class call_book {
public:
    // An event of an outgoing call: true when it is the call's first one, so
    // that the station learns of the call. The first event of a new call
    // carries no id; the next event that does names it.
    bool note_outgoing(const std::string& id, const std::string& aor, const std::string& peer);
    void note_incoming(const std::string& id, const std::string& aor, const std::string& peer);
    void note_established(const std::string& id, const std::string& aor, const std::string& peer);
    void note_closed(const std::string& id, const std::string& aor, const std::string& peer);
    void clear() { calls_.clear(); }

    // The newest call, the one the station means by "its" call; null for none.
    const ua_call* current() const;
    // The oldest incoming call that is still ringing: the one that made the
    // station ring, and so the one a key answers; null for none.
    const ua_call* ringing_in() const;
    // The newest established call: the call the station is in, whose DTMF
    // it takes; null for none.
    const ua_call* in_call() const;
    // True the first time DTMF of this call is not passed on, so that the
    // bridge says it once per call.
    bool first_dtmf_refusal(const std::string& id, const std::string& aor, const std::string& peer);
    // All calls, newest first.
    std::vector<ua_call> newest_first() const;

    // The status of the account as the station reads it at start: the most
    // advanced phase among the account's calls.
    account_call_status status_of(const std::string& aor) const;

private:
    ua_call* find(const std::string& id, const std::string& aor, const std::string& peer);

    std::vector<ua_call> calls_;  // oldest first
    std::string unknown_refused_;  // the last call not in the book whose DTMF was refused
};
