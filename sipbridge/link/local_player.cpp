#include "sipbridge/link/local_player.h"

#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "common/process.h"

extern char** environ;

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
    const std::string player = find_on_path(player_program);
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
