// Relay requests from call events (the door code has door_code.h). orvanel
// never touches the relay: it publishes requests on output-channel for
// outputd, and a detached relayDelayControl thread publishes the switch-off
// after the configured delay. Every decision reads the relay_ctrl settings
// afresh. The triggers run on the event thread, one event at a time.
#pragma once

#include <string>

#include "common/settings_keys.h"
#include "common/station_protocol.h"

// A switch-on or switch-off request, followed in debug mode by the console
// line "GPIO_RELAY set on" or "GPIO_RELAY set off".
void switch_relay(bool on);

// A switch-on request by one of the station's own openers, entered first in
// the operation log as "FUNCTION,RELAY Request,<opener>", so the log says
// how each opening came about: "DTMF code", "incoming call", "outgoing
// call", "answered call" or "call hang-up". (A request of other software
// reaches outputd directly and has only outputd's "RELAY Control" entry.)
void open_relay(const char* opener);

// Starts a detached relayDelayControl thread with the duration setting
// (setting::relay_call_reset_duration or relay_dtmf_reset_duration).
void start_relay_reset(setting duration_key);

// The request for the output (relay_request_text): on with relay_ctrl:type,
// or off.
void publish_relay_request(const std::string& id, bool on);

void relay_on_incoming();
void relay_on_outgoing();
void relay_on_answered();
// Also finishes the call record, on every path.
void relay_on_hangup(const std::string& reason);

// Waits the seconds of the duration setting (read when the thread starts),
// then switches the relay off.
void relayDelayControl(setting duration_key);
