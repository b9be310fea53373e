// Intake of the SIP user agent's events. Baresip_thread subscribes to
// session-channel on a Redis connection of its own and hands every message,
// one at a time and in arrival order, to handle_session_event, which parses
// it and dispatches it by type and direction. All event-driven changes of the
// call state therefore happen on this one thread.
#pragma once

#include <chrono>
#include <string>

struct redisReply;
struct cJSON;

// Thread entry; never returns. Only a first connection that fails ends the
// process (status 255); a connection lost later is made anew.
void Baresip_thread();

void handle_session_event(const redisReply* reply);

// Dispatches one parsed event; false when no handler took it or the handler
// ended early (no status line follows).
bool dispatch_session_event(const cJSON* event);
