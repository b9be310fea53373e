// The SIP user agent's call events, handled on Baresip_thread. They move the
// call status, set the LED state of the key that owns the call, write the
// call's operation-log entries, start and cancel the no-reply timer, post
// next-hop messages, keep the call record and call the relay triggers. Each
// handler returns false when it ended early, so no status line follows.
#pragma once

#include <string>

struct cJSON;

bool on_incoming_established(const cJSON* event);
bool on_outgoing_established(const cJSON* event);
bool on_incoming_closed(const cJSON* event);
bool on_outgoing_closed(const cJSON* event);
bool on_call_incoming(const cJSON* event);
bool on_call_outgoing(const cJSON* event);
bool on_dtmf_received(const cJSON* event);

// The far end's name from its URI: cut before the first "@"; without one an
// incoming URI stays whole and an outgoing one is cut before its first ";".
// At most 127 bytes of the URI are looked at.
std::string incoming_peer_name(const std::string& peeruri);
std::string outgoing_peer_name(const std::string& peeruri);
// The name without its "sip:" scheme (its first four bytes).
std::string peer_number(const std::string& peer_name);
