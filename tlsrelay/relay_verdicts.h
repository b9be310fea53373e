// What the relay last found at each destination: verified, refused (and
// why), or unreachable. The relay reads stunnel's log as it runs and keeps
// one verdict file per destination in its runtime folder, which the bridge
// reads to name the reason of a failed registration and the installer's
// check reads to show each TLS account's state.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct relay_verdict {
    enum class state {
        connecting,     // a connection began; its end is not known yet
        verified,       // the chain and the name passed
        untrusted,      // the chain does not end at a CA of the file
        name_mismatch,  // it chains, but carries another name
        refused,        // another fault of the certificate (expired, say): detail says which
        unreachable,    // no connection to the server
    };
    state result = state::connecting;
    std::string destination;  // "HOST:PORT" as the relay connects
    std::string name;         // the name its certificate must carry
    std::string detail;       // stunnel's words
    long long time = 0;       // seconds since the epoch
};

// The state's word in the file and for the check: "verified",
// "not-trusted", "name-mismatch", "refused", "unreachable", "connecting".
const char* verdict_word(relay_verdict::state result);

// One line: "WORD DESTINATION NAME TIME DETAIL...".
std::string verdict_line(const relay_verdict& verdict);
std::optional<relay_verdict> parse_verdict_line(const std::string& line);

// The reason a registration failed by, when the verdict says it was the
// server's certificate ("TLS: certificate not trusted", "TLS: name
// mismatch", "TLS: certificate has expired"...); nothing otherwise.
std::optional<std::string> verdict_failure_reason(const relay_verdict& verdict);

// The verdict file of a service ("pbx1") in the runtime folder.
std::string verdict_path(const std::string& run_dir, const std::string& service);

// The verdict of a destination ("HOST:PORT"), looked for in the folder's
// verdict files; nothing when the relay has not connected there yet.
std::optional<relay_verdict> read_verdict(const std::string& run_dir, const std::string& destination);

// A destination of the relay's configuration: the client service ("pbx1")
// with what it connects to and the name it checks.
struct relay_service {
    std::string service;
    std::string destination;
    std::string name;
};
// The client services of a configuration that relay_config_text wrote.
std::vector<relay_service> relay_services(const std::string& config_text);

// Reads stunnel's log line by line and says when a line settles a
// service's verdict: which connection belongs to which service is learnt
// from the line that accepts it.
class relay_log_reader {
public:
    struct outcome {
        std::string service;  // "pbx1"
        relay_verdict::state result;
        std::string detail;
    };
    std::optional<outcome> take(const std::string& line);

private:
    std::map<std::string, std::string> service_of_;  // connection number -> service
    std::map<std::string, bool> settled_;            // connection number -> verdict given
};
