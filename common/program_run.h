// Running a program to its end within a time-out and keeping what it
// printed: no shell, standard input from /dev/null, both outputs read here.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct program_run {
    int status = -1;     // the exit status; -1 when it was ended at the time-out or by a signal
    std::string output;  // both outputs, the first 64 kB
};

// Runs words[0] (a path) with the other words as its arguments, and ends it
// (SIGKILL) when the time-out passes. Nothing when it cannot be started.
std::optional<program_run> run_program(std::vector<std::string> words, std::chrono::milliseconds timeout);
