// The TLS relay's part of the installer's check: for each server that a TLS
// account reaches first, whether the relay that verifies it runs, and what
// it found at its last connection there (verified, not trusted, another
// name, unreachable), from the verdict it keeps in its runtime folder.
#pragma once

#include <ctime>
#include <optional>
#include <vector>

#include "check/findings.h"
#include "sipbridge/config/tls_destinations.h"
#include "tlsrelay/relay_verdicts.h"

// A destination's finding from its verdict (none: the relay has not
// connected there yet); now in seconds since the epoch.
finding tls_verdict_finding(const tls_destination& destination, const std::optional<relay_verdict>& verdict,
                            long long now);

// The relay's findings for the enabled accounts; none when no account uses
// TLS.
findings check_tls_relay(const std::vector<settings_account>& accounts);
