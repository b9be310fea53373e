// The relay as it runs: stunnel with the configuration that sipbridge
// --write-config wrote into the relay's folder, started in the foreground
// as the relay's own user, its log passed on to this program's standard
// error line by line and read for the verdicts.
#pragma once

// Prepares the runtime folder (its sockets' folder the relay's alone, old
// sockets and verdicts removed), makes the relay's own certificate when it
// has none, and runs stunnel until it ends; SIGTERM, SIGINT and SIGHUP are
// passed on to it. Returns the exit status for the program: stunnel's, 0
// when no configuration is there (no account uses TLS), 1 when it cannot
// start.
int run_relay();
