// Process-wide helpers shared by both programs: the debug flag taken from
// the command line, console set-up, shell commands and the ending of the
// whole process from any thread.
#pragma once

#include <string>

// 1 when the program was started with the single argument "debug". Set by
// main before any thread starts and never changed afterwards.
extern int debug_mode;

// Exactly one argument, and it is "debug": anything else leaves debug off.
bool debug_mode_from_args(int argc, char** argv);

// Standard output line-buffered, so a pipe or a service journal sees each
// console line when it is written. A write into a Redis connection that the
// server has closed must fail with an error, not end the process by SIGPIPE.
void prepare_process();
void survive_broken_pipes();

// The common start of each program: the console and signals prepared, the
// station root read (a root unfit for shell commands ends the process with
// status 1) and debug_mode set from the command line.
void start_program(int argc, char** argv);
// The same without the command line, for a program with options of its own.
void start_station_program();

// Ends the process with the status from any thread. Other threads may still
// run, so nothing is torn down: the console is flushed and the process ends.
[[noreturn]] void end_process(int status);

// Runs a command through the shell, as system() does, with no descriptor
// but the standard three; returns its wait status, -1 when it cannot start.
int run_shell(const std::string& command);

// The path of a program found through PATH (/usr/bin:/bin when PATH is not
// set), or empty when no directory there holds it as an executable. Looked
// up before a program is started, so that a missing one is told apart from
// one that fails, wherever the failure of an exec cannot be seen (under an
// emulator, say).
std::string find_on_path(const std::string& program);
