// Relay requests from call events and from a DTMF code. orvanel never
// touches the relay: it publishes requests on output-channel for outputd,
// and a detached relayDelayControl thread publishes the switch-off after the
// configured delay. Every decision reads the relay_ctrl settings afresh. The
// triggers run on the event thread, one event at a time.
#pragma once

#include <string>

// {"id":"<id>","type":"<relay_ctrl:type>"} with the flag, else
// {"id":"<id>","type":"Off"}; texts escaped for JSON.
std::string relay_request_text(const std::string& id, bool on, const std::string& type);
void publish_relay_request(const std::string& id, bool on);

void relay_on_incoming();
void relay_on_outgoing();
void relay_on_answered();
// Also finishes the call record, on every path.
void relay_on_hangup(const std::string& reason);
void relay_on_dtmf(const std::string& digits);

// Waits the seconds of the duration setting (read when the thread starts),
// then switches the relay off.
void relayDelayControl(const std::string& duration_key);

// Appends received digits, keeping the most recent ones when the collection
// is full; true when the collection now ends with the code.
bool collect_dtmf(std::string& collected, const std::string& digits, const std::string& code);
