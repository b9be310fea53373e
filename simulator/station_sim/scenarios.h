// What the simulator does with a running station: the visitor scenario of
// the demo, or a prompt where a person works the station by hand.
#pragma once

#include <atomic>
#include <istream>
#include <ostream>
#include <string>

class sim_station;

// Set by SIGINT or SIGTERM: the scenario or the prompt ends and everything
// started is stopped.
extern std::atomic<bool> stop_requested;

// Plays the visitor scenario; true when every expected step happened.
bool run_demo(sim_station& station, std::ostream& out);

// Reads commands from the input until "quit", its end or a stop request.
void run_interactive(sim_station& station, int input_fd, std::ostream& out);

// With real SIP: how many SIP messages of each kind the far end saw.
void print_sip_summary(sim_station& station, std::ostream& out);

// The call records of the station, as the file holds them.
void print_call_records(const sim_station& station, std::ostream& out);

// station-check on the running station, as an installer runs it: what is
// left to fix, and its summary.
void print_check(const sim_station& station, std::ostream& out);
