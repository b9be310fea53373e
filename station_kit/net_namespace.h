// A network namespace of the test process's own: loopback up, with the whole
// of 127/8 to bind, and packet filters that are the test's alone, so a test
// can load an nftables ruleset without touching the machine's.
#pragma once

#include <string>

// Moves this process into a new network namespace and brings `lo` up there;
// every program it starts afterwards lives in it too. Without the right to
// make one (EPERM), a user namespace is made with it, in which this user is
// root. Must be called before the process has a second thread: a namespace
// is a thread's, and a user namespace cannot be entered by a process with
// several. Returns the empty text on success, otherwise why it failed.
std::string enter_own_network_namespace();
