// Plays a sound for the play command with a local player program (mpg123,
// found through PATH), since the user agent has no such command. One sound
// at a time: a new one stops the one still playing. The player is started
// directly, without a shell, so a path from Redis is only ever a path.
#pragma once

#include <string>
#include <sys/types.h>

inline constexpr const char* player_program = "mpg123";

class local_player {
public:
    ~local_player();
    // Starts the player; false, with the reason in `error`, when it cannot
    // start (no player on PATH, say).
    bool play(const std::string& path, int count, std::string& error);

private:
    void stop();

    pid_t player_ = -1;
};
