// The site log in the installer's check: [site] judged by the code that
// writes the instance's configuration (so the check and the instance cannot
// disagree), rsyslogd and its TLS driver where a server is named, the
// instance's socket, and a TLS handshake with the server made as the
// instance makes it: its certificate checked against log_ca and log_name,
// within 5 s.
#pragma once

#include "check/findings.h"
#include "sitelog/tls_probe.h"

// The finding of a TLS check of the server.
finding site_tls_finding(const site_forwarding& server, const tls_probe_result& probe);

findings check_site();
