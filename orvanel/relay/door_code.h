// The door code: DTMF digits that the SIP user agent reports during the
// station's established call are collected and compared with
// relay_ctrl:dtmf_code, within the limits of door_code_guard, and a match
// switches the relay. Everything here runs on the event thread
// (Baresip_thread), one event at a time, apart from the detached thread
// that writes the end of a lockout.
//
// A station-wide lockout and the wrong digits before it are kept in Redis
// as well, so that a restart of orvanel does not end them:
//   "dtmf-lockout"  the lockout's length in seconds, expiring when it ends
//   "dtmf-guard"    "<wrong digits> <lockouts>" since the last match,
//                   forgotten a day after it was last written
// and the lockout in its own file, /userdata/dtmf-lockout (lockout_record),
// synced before the lockout takes effect and removed when it ends, so that
// a power cut, which Redis may not outlive and whose wall clock cannot be
// trusted, does not end it either: after another boot it resumes whole.
#pragma once

#include <string>

// What the station makes of one event's digits in the established call.
struct dtmf_take {
    bool recorded = false;  // the "RECEIVE DTMF" entry is written
    bool collected = false; // the digits go on to relay_on_dtmf
    std::string digits;     // those that fit within the call's tries
    std::string code;
    int tries = 0;
};
dtmf_take take_dtmf(const std::string& digits);

// Collects the taken digits, switches the relay on a match and reports a
// call or the station that ran out of tries.
void relay_on_dtmf(const dtmf_take& take);

// Digits reported while no call is established open nothing and are not
// recorded; the message log says so once per call.
void dtmf_outside_call(int status);

// The call ended: the next one starts afresh.
void dtmf_call_ended();

// Takes back a lockout kept in the file and in Redis, the longer of the
// two, or the whole length when the file is from another boot
// (lockout_to_restore). Called at start; when Redis cannot be reached then,
// the first digits of a call try again for its counts (and for the lockout,
// when no file was there either).
void restore_dtmf_lockout();
