// A network namespace of the test process's own: loopback up, with the whole
// of 127/8 to bind, and packet filters that are the test's alone, so a test
// can load an nftables ruleset without touching the machine's.
#pragma once

#include <string>

// Moves the calling thread into a new network namespace and brings `lo` up
// there; every program it starts afterwards lives in it too (a thread
// started before keeps the old namespace, so call it first). Without the
// right to make one (EPERM), a user namespace is made with it, in which
// this user is root; that takes a process with a single thread. Returns
// the empty text on success, otherwise why it failed.
std::string enter_own_network_namespace();
