// The call status at start-up: before any worker thread starts, orvanel
// reads the status that the SIP user agent keeps in Redis for each enabled
// account, so a restarted orvanel takes over the registrations, the call
// status and the LED states.
#pragma once

#include <string>

void read_start_call_status();

// The status of one "baresip-call-status-..." key: 0 idle, 1 answer, 2 ring,
// 3 ringing, 5 for anything else. It replaces baresip_status while that is
// still 0 or 5.
int query_call_status(const std::string& key);

// The status value of a stored text, compared as a whole.
int call_status_of_text(const std::string& text);
