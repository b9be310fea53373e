// The relay's verdicts as they come: a registration that the relay refused
// is said at once, not when the user agent gives up on its request half a
// minute later (baresip 1.0.0 does not fail a request whose connection
// closes after it was sent).
#pragma once

#include <functional>
#include <string>

// For each verdict file that the relay writes in its runtime folder and
// that names a refusal, calls `refused` with the destination ("HOST:PORT")
// and the reason ("TLS: certificate not trusted"). Blocks on inotify while
// the folder is there; while it is not (no account uses TLS), looks for it
// once a minute. Never returns.
[[noreturn]] void watch_relay_verdicts(const std::function<void(const std::string& destination,
                                                                 const std::string& reason)>& refused);
