#include "sitelog/tls_probe.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "common/c_holders.h"
#include "common/process.h"

namespace {

constexpr std::size_t output_limit = 64 * 1024;

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

struct run_result {
    int status = -1;  // the exit status; -1 when it was ended at the time-out or by a signal
    std::string output;
};

// Runs the program (argv[0], a path) with standard input from /dev/null and
// both outputs read here, and ends it when the time-out passes.
std::optional<run_result> run_with_timeout(std::vector<std::string> words, std::chrono::milliseconds timeout)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return std::nullopt;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const int failed = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    write_end.reset();
    if (failed != 0)
        return std::nullopt;

    run_result result;
    bool timed_out = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        pollfd p {read_end.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            timed_out = true;
            break;
        }
        char buffer[1024];
        const ssize_t got = ready < 0 ? -1 : ::read(read_end.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (result.output.size() < output_limit)
            result.output.append(buffer, static_cast<std::size_t>(got));
    }
    if (timed_out)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = !timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
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
    const std::optional<run_result> run =
        run_with_timeout({openssl, "s_client", "-connect", server.address(), "-servername", server.peer_name,
                          "-verify_hostname", server.peer_name, "-CAfile", ca_file, "-verify_return_error"},
                         timeout);
    if (!run)
        return {tls_probe_result::outcome::no_openssl, "openssl cannot be started"};
    return classify_s_client(run->status, run->output);
}
