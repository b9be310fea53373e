// A TLS handshake with the site's log server as the station's instance makes
// it: the server's certificate checked against the site's CA and the name it
// must carry. openssl s_client does the handshake (no shell, standard input
// closed, ended when the time-out passes); its words are sorted here into
// what an installer must change.
#pragma once

#include <chrono>
#include <string>

#include "sitelog/site_settings.h"

struct tls_probe_result {
    enum class outcome {
        trusted,        // the handshake passed: CA and name are right
        untrusted,      // the certificate does not chain to log_ca
        name_mismatch,  // it chains, but carries another name
        refused,        // another verification error (expired, say): detail says which
        unreachable,    // no connection, or no handshake: detail says why
        no_openssl,     // openssl is not installed
    };
    outcome result = outcome::unreachable;
    std::string detail;
};

// Sorts what `openssl s_client ... -verify_return_error` printed (both
// outputs) and its exit status (-1: it was ended at the time-out).
tls_probe_result classify_s_client(int exit_status, const std::string& output);

// Connects to the server and checks its certificate with the CA file (a
// path as this process opens it), within the time-out.
tls_probe_result probe_site_server(const site_forwarding& server, const std::string& ca_file,
                                   std::chrono::milliseconds timeout);
