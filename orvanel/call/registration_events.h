// Registration events of the station's SIP accounts and the P2P account, and
// the end of the SIP user agent, handled on Baresip_thread. They keep the
// registration flags that decide whether an account may dial, move the call
// status into and out of "not ready", and set both keys' LEDs to ready or to
// "no account". Handlers return false when they ended at once.
#pragma once

struct cJSON;

bool on_register_ok(const cJSON* event);
bool on_register_lost(const cJSON* event);
bool on_user_agent_exit(const cJSON* event);
bool on_user_agent_listing(const cJSON* event);

// Forgets which registration failures were entered, as a new user agent
// does (for a test that starts a station anew in the same process).
void forget_registration_failures();
