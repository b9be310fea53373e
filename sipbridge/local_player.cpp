#include "sipbridge/local_player.h"

#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

// The player's path through PATH, or empty. Looked up before the start so
// that a missing player is told apart from one that fails, wherever the
// failure of an exec cannot be seen (under an emulator, say).
std::string find_player()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + player_program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

}  // namespace

local_player::~local_player()
{
    stop();
}

void local_player::stop()
{
    if (player_ < 0)
        return;
    // A player that has ended is still a child not waited for, so its pid
    // cannot belong to another process when it is signalled here.
    if (::waitpid(player_, nullptr, WNOHANG) == 0) {
        ::kill(player_, SIGTERM);
        ::waitpid(player_, nullptr, 0);
    }
    player_ = -1;
}

bool local_player::play(const std::string& path, int count, std::string& error)
{
    stop();
    const std::string loops = std::to_string(count);
    // "--" ends the options: a path that begins with '-' stays a path.
    std::vector<std::string> words = {player_program, "-q", "--loop", loops, "--", path};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string player = find_player();
    if (player.empty()) {
        error = std::string("no ") + player_program + " on PATH";
        return false;
    }
    pid_t child = -1;
    const int failed = ::posix_spawn(&child, player.c_str(), nullptr, nullptr, argv.data(), environ);
    if (failed != 0) {
        error = player + ": " + std::strerror(failed);
        return false;
    }
    player_ = child;
    return true;
}
