// The tamper switch's action, run by its watcher when the switch opens: by
// the unpack-intercom settings nothing, an HTTP request, a sound played by
// the SIP user agent, or a call that belongs to the tamper key.
#pragma once

// unpack-intercom:active, as atoi reads it. Any number but the three that
// do something else calls unpack-intercom:number, as 1 is meant to.
enum : int { TAMPER_NOT_ACTIVE = 0, TAMPER_CALL = 1, TAMPER_HTTP = 2, TAMPER_SOUND = 3 };

inline constexpr bool tamper_calls(int mode)
{
    return mode != TAMPER_NOT_ACTIVE && mode != TAMPER_HTTP && mode != TAMPER_SOUND;
}

// False when the watcher must not record the new level (the switch counts
// as still closed, so the next event that reads "open" acts again).
bool tamper_action();
