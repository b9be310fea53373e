#include "sitelog/tls_probe.h"

#include <vector>

#include "common/process.h"
#include "common/program_run.h"

namespace {

// The text after "MARK" on the first line that holds it, to the line's end.
std::string after(const std::string& output, const std::string& mark)
{
    const std::size_t at = output.find(mark);
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + mark.size();
    return output.substr(from, output.find('\n', from) - from);
}

// The reason of openssl's first "error:...:REASON:file:line:" line (the
// system's words, where a later line says only "connect error").
std::string first_error_reason(const std::string& output)
{
    const std::size_t at = output.find(":error:");
    if (at == std::string::npos)
        return {};
    const std::string line = output.substr(at, output.find('\n', at) - at);
    // error:CODE:LIBRARY:FUNCTION:REASON:FILE:LINE...
    std::vector<std::string> fields;
    for (std::size_t from = 1; from <= line.size();) {
        const std::size_t end = std::min(line.find(':', from), line.size());
        fields.push_back(line.substr(from, end - from));
        from = end + 1;
    }
    return fields.size() > 4 ? fields[4] : line;
}

}  // namespace

tls_probe_result classify_s_client(int exit_status, const std::string& output)
{
    using outcome = tls_probe_result::outcome;
    const std::string verify = after(output, "verify error:num=");
    if (!verify.empty()) {
        const std::size_t colon = verify.find(':');
        const std::string number = verify.substr(0, colon);
        const std::string reason = colon == std::string::npos ? verify : verify.substr(colon + 1);
        // X509_V_ERR_HOSTNAME_MISMATCH, and those of a chain that does
        // not end at a CA of the file.
        if (number == "62")
            return {outcome::name_mismatch, reason};
        if (number == "2" || number == "18" || number == "19" || number == "20" || number == "21")
            return {outcome::untrusted, reason};
        return {outcome::refused, reason};
    }
    if (output.find("connect:errno=") != std::string::npos) {
        const std::string reason = first_error_reason(output);
        return {outcome::unreachable, reason.empty() ? "no connection" : reason};
    }
    if (exit_status == -1)
        return {outcome::unreachable, "no TLS handshake within the time-out"};
    if (exit_status == 0 && output.find("Verify return code: 0 (ok)") != std::string::npos)
        return {outcome::trusted, {}};
    const std::string reason = first_error_reason(output);
    return {outcome::unreachable, "no TLS handshake" + (reason.empty() ? std::string() : ": " + reason)};
}

tls_probe_result probe_site_server(const site_forwarding& server, const std::string& ca_file,
                                   std::chrono::milliseconds timeout)
{
    const std::string openssl = find_on_path("openssl");
    if (openssl.empty())
        return {tls_probe_result::outcome::no_openssl, "openssl is not on PATH"};
    const std::optional<program_run> run =
        run_program({openssl, "s_client", "-connect", server.address(), "-servername", server.peer_name,
                          "-verify_hostname", server.peer_name, "-CAfile", ca_file, "-verify_return_error"},
                         timeout);
    if (!run)
        return {tls_probe_result::outcome::no_openssl, "openssl cannot be started"};
    return classify_s_client(run->status, run->output);
}
