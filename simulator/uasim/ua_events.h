// The texts the user agent publishes on session-channel and stores under the
// call-status keys, each built with cJSON so that a quote or a backslash in a
// number or an account stays inside its string. Every event also carries a
// one-line summary for the console.
#pragma once

#include <string>
#include <vector>

struct ua_event {
    std::string text;  // the JSON text as published
    std::string line;  // what the console shows
};

// The parties of a call as the events name them.
struct call_parties {
    const char* direction = "outgoing";  // "incoming" or "outgoing"
    std::string aor;                     // the station's address of record ("" for none)
    std::string peer;                    // the far end's URI
};

// REGISTER_OK; the first registration after start carries the class
// "init register", a later one none.
ua_event register_ok_event(const std::string& aor, bool initial);
ua_event register_fail_event(const std::string& aor, const std::string& reason);

// CALL_OUTGOING, CALL_INCOMING and CALL_ESTABLISHED.
ua_event call_event(const char* type, const call_parties& call);
ua_event call_closed_event(const call_parties& call, const std::string& reason);
ua_event dtmf_event(const char* direction, char digit);

// The reply to the user-agent listing: its data begins with a newline and
// "--- User Agents (N) ---", one address of record per line after it.
ua_event listing_reply(const std::vector<std::string>& aors);
ua_event exit_event();

// {"status":"<status>"} for a call-status key.
std::string status_value(const char* status);
