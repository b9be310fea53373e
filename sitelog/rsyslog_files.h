// Where Debian's rsyslog keeps what the site log's instance runs: the
// daemon, and the GnuTLS stream driver (rsyslog-gnutls) that it forwards
// through. Looked up, never assumed, so that a board without them is told
// apart from one whose forwarding fails.
#pragma once

#include <string>

// The rsyslogd that the units start (/usr/sbin/rsyslogd), or the one on
// PATH; empty when there is none.
std::string find_rsyslogd();

// rsyslog's GnuTLS driver (lmnsd_gtls.so) in the module folder of this
// build's architecture; empty when it is not installed.
std::string find_rsyslog_tls_module();
