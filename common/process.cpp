#include "common/process.h"

#include "common/station_root.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

int debug_mode = 0;

bool debug_mode_from_args(int argc, char** argv)
{
    return argc == 2 && std::strcmp(argv[1], "debug") == 0;
}

namespace {
// A caught signal, unlike an ignored one, goes back to its default action in
// the shell commands the programs start, so pipelines there behave as usual.
void on_signal_that_changes_nothing(int) {}

void catch_quietly(int signal)
{
    struct sigaction action {};
    action.sa_handler = on_signal_that_changes_nothing;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}
}  // namespace

void survive_broken_pipes()
{
    catch_quietly(SIGPIPE);
}

void prepare_process()
{
#ifdef M_ARENA_MAX
    // One heap for all threads: each thread's own arena would keep pages of
    // its own resident, for threads that allocate a few short texts now and
    // then and never at the same time to speak of.
    mallopt(M_ARENA_MAX, 1);
#endif
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    survive_broken_pipes();
    // A file-size limit reached makes the write fail (EFBIG), which the
    // record files handle, instead of ending the program.
    catch_quietly(SIGXFSZ);
}

void start_program(int argc, char** argv)
{
    start_station_program();
    if (debug_mode_from_args(argc, argv))
        debug_mode = 1;
}

void start_station_program()
{
    prepare_process();
    if (!station_root_init()) {
        std::fprintf(stderr, "STATION_ROOT may hold only letters, digits and / . _ - + , (it is \"%s\")\n",
                     station_root().c_str());
        end_process(1);
    }
}

void end_process(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

int run_shell(const std::string& command)
{
    // The shell gets the standard three descriptors and no other: a file
    // that a library opened without close-on-exec (the settings parser
    // opens the settings so) while another thread started the shell stays
    // the station's.
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    char sh[] = "sh";
    char dash_c[] = "-c";
    std::string text = command;
    char* const argv[] = {sh, dash_c, text.data(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawn(&child, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

std::string find_on_path(const std::string& program)
{
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}
