// Start-up of orvanel: the command line, the shared runtime in its order
// (Redis pool, call status at start-up, next-hop queue, message log), the
// worker threads of the thread table, and the main thread parked for ever.
#pragma once

#include <array>

struct worker_thread {
    const char* name;
    void (*entry)();  // never returns in normal operation
};

// The worker threads in start order.
extern const std::array<worker_thread, 10> worker_threads;

// Starts every thread of the table, then the no-reply timer's; a thread that
// cannot be created ends the process with status 1 after naming it in the
// message log.
void start_worker_threads();

[[noreturn]] void orvanel_main(int argc, char** argv);
