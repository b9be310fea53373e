// The tamper switch's action, run by its watcher when the switch opens: by
// the unpack-intercom settings nothing, an HTTP request, a sound played by
// the SIP user agent, or a call that belongs to the tamper key.
#pragma once

// False when the watcher must not record the new level (the switch counts
// as still closed, so the next event that reads "open" acts again).
bool tamper_action();
