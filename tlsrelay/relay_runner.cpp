#include "tlsrelay/relay_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "common/c_holders.h"
#include "common/durable_file.h"
#include "common/file_text.h"
#include "common/process.h"
#include "common/program_run.h"
#include "common/station_root.h"
#include "tlsrelay/relay_plan.h"
#include "tlsrelay/relay_verdicts.h"

namespace {

constexpr std::size_t config_limit = 64 * 1024;
constexpr std::size_t line_limit = 4096;
constexpr std::chrono::seconds openssl_timeout{60};

void say(const std::string& line)
{
    std::fprintf(stderr, "station-tls-relay: %s\n", line.c_str());
}

// A folder there with the mode, made when missing.
bool folder_with_mode(const std::string& path, mode_t mode)
{
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        say("cannot make " + path + ": " + std::strerror(errno));
        return false;
    }
    if (::chmod(path.c_str(), mode) != 0) {
        say("cannot set the mode of " + path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// Removes the folder's entries whose names start with prefix (old sockets,
// which stunnel would not bind over, and old verdicts, which no longer
// hold).
void remove_entries(const std::string& folder, const std::string& prefix)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name.rfind(prefix, 0) == 0)
            ::unlink((folder + "/" + name).c_str());
    }
}

// The relay's own certificate for its services that the user agent talks
// to: the user agent checks none, so a self-signed one made once on the
// board serves. Made by openssl into a private folder, then put in place
// whole (certificate and key in one file, 0600).
bool own_certificate(const std::string& dir)
{
    const std::string path = dir + "/" + relay_own_certificate_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > 0)
        return true;
    const std::string openssl = find_on_path("openssl");
    if (openssl.empty()) {
        say("openssl is not installed: the relay cannot make its certificate; install openssl");
        return false;
    }
    std::string scratch = dir + "/.making-XXXXXX";
    if (::mkdtemp(scratch.data()) == nullptr) {
        say("cannot make a folder in " + dir + ": " + std::strerror(errno));
        return false;
    }
    const std::string key = scratch + "/key.pem";
    const std::string certificate = scratch + "/certificate.pem";
    const std::optional<program_run> made =
        run_program({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", key, "-out", certificate, "-days", "36500", "-subj", "/CN=station-tls-relay"},
                    openssl_timeout);
    std::string error;
    const std::optional<std::string> key_text = read_file_text(key, config_limit, error);
    const std::optional<std::string> certificate_text = read_file_text(certificate, config_limit, error);
    ::unlink(key.c_str());
    ::unlink(certificate.c_str());
    ::rmdir(scratch.c_str());
    if (!made || made->status != 0 || !key_text || !certificate_text) {
        say("openssl could not make the relay's certificate" + (made ? ": " + made->output : std::string()));
        return false;
    }
    const unique_fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || !replace_file(folder.get(), relay_own_certificate_name, *certificate_text + *key_text, 0600,
                                 std::nullopt)) {
        say("cannot write " + path + ": " + std::strerror(errno));
        return false;
    }
    say("made its own certificate " + path);
    return true;
}

// Tells systemd (Type=notify) that the relay listens, so that the user
// agent, ordered after it, never finds its ports closed; nothing without a
// notification socket.
void notify_ready()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0')
        return;
    sockaddr_un to {};
    to.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof to.sun_path)
        return;
    std::memcpy(to.sun_path, path, length);
    if (to.sun_path[0] == '@')  // an abstract socket
        to.sun_path[0] = '\0';
    const unique_fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const char ready[] = "READY=1";
    if (fd)
        ::sendto(fd.get(), ready, sizeof ready - 1, 0, reinterpret_cast<const sockaddr*>(&to),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
}

// stunnel binds its services in the order of its configuration, the client
// services' sockets among them: with the last socket there, all listen.
bool listening(const std::vector<std::string>& sockets)
{
    struct stat st {};
    for (const std::string& socket : sockets)
        if (::stat(socket.c_str(), &st) != 0)
            return false;
    return true;
}

class verdict_keeper {
public:
    verdict_keeper(const std::string& run_dir, const std::vector<relay_service>& services) : run_dir_(run_dir)
    {
        for (const relay_service& service : services)
            services_[service.service] = service;
    }

    void take(const std::string& line)
    {
        const std::optional<relay_log_reader::outcome> found = reader_.take(line);
        if (!found)
            return;
        const auto service = services_.find(found->service);
        if (service == services_.end())
            return;
        relay_verdict verdict;
        verdict.result = found->result;
        verdict.destination = service->second.destination;
        verdict.name = service->second.name;
        verdict.detail = found->detail;
        verdict.time = static_cast<long long>(std::time(nullptr));
        // The runtime folder is in memory: nothing to sync. The verdicts
        // are for the station's user to read, whatever the unit's umask
        // (the relay is single-threaded: the mask is its own meanwhile).
        const unique_fd folder(::open(run_dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const std::string name = "verdict-" + found->service;
        const mode_t mask = ::umask(022);
        const bool written = folder && replace_file(folder.get(), name, verdict_line(verdict), 0644, std::nullopt);
        ::umask(mask);
        if (!written)
            say("cannot write " + run_dir_ + "/" + name + ": " + std::strerror(errno));
    }

private:
    std::string run_dir_;
    std::map<std::string, relay_service> services_;
    relay_log_reader reader_;
};

}  // namespace

int run_relay()
{
    const std::string dir = station_path(relay_dir);
    const std::string run_dir = station_path(relay_run_dir);
    const std::string config_path = dir + "/" + relay_config_name;
    std::string error;
    const std::optional<std::string> config = read_file_text(config_path, config_limit, error);
    if (!config) {
        if (errno == ENOENT) {
            say("no " + config_path + ": no account uses TLS, and there is nothing to relay");
            return 0;
        }
        say(error);
        return 1;
    }
    const std::string stunnel = find_on_path(relay_program);
    if (stunnel.empty()) {
        say(std::string(relay_program) + " is not installed: no TLS server can be verified, and the user agent's "
                                         "TLS goes nowhere; install stunnel4");
        return 1;
    }
    // The verdicts are for the station's user to read; the sockets between
    // the services are the relay's alone.
    if (!folder_with_mode(run_dir, 0755) || !folder_with_mode(run_dir + "/sockets", 0700) || !own_certificate(dir))
        return 1;
    remove_entries(run_dir + "/sockets", "");
    remove_entries(run_dir, "verdict-");
    remove_entries(run_dir, relay_ready_name);
    const std::vector<relay_service> services = relay_services(*config);
    verdict_keeper verdicts(run_dir, services);
    std::vector<std::string> sockets;
    for (const relay_service& service : services)
        sockets.push_back(run_dir + "/sockets/" + service.service + ".sock");

    // SIGTERM, SIGINT and SIGHUP come through a descriptor and go on to
    // stunnel, which starts with none of them blocked.
    sigset_t passed;
    sigemptyset(&passed);
    for (const int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&passed, s);
    if (sigprocmask(SIG_BLOCK, &passed, nullptr) != 0)
        return 1;
    const unique_fd signals(::signalfd(-1, &passed, SFD_CLOEXEC));
    int ends[2];
    if (!signals || ::pipe2(ends, O_CLOEXEC) != 0) {
        say(std::string("cannot prepare stunnel's log: ") + std::strerror(errno));
        return 1;
    }
    unique_fd log_read(ends[0]);
    unique_fd log_write(ends[1]);

    // stunnel ends with the relay, however the relay ends (a SIGKILL too):
    // no stunnel outlives it holding the relay's ports. A child of fork()
    // in this single-threaded program, the parent-death signal set before
    // the exec.
    std::string program = stunnel;
    std::string config_argument = config_path;
    char* argv[] = {program.data(), config_argument.data(), nullptr};
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        say(std::string("cannot start stunnel: ") + std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(log_write.get(), STDOUT_FILENO) < 0 ||
            ::dup2(log_write.get(), STDERR_FILENO) < 0)
            ::_exit(1);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    log_write.reset();
    say("relays " + std::to_string(services.size()) + " TLS destination(s) through " + stunnel + " (pid " +
        std::to_string(child) + ")");

    // Until its services listen, the relay looks every 20 ms (10 s at most);
    // then it only waits.
    bool ready = false;
    bool gave_up = false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string pending;
    for (;;) {
        if (!ready && (listening(sockets) || std::chrono::steady_clock::now() > give_up)) {
            ready = true;
            if (listening(sockets)) {
                const mode_t mask = ::umask(022);
                const unique_fd marker(::open((run_dir + "/" + relay_ready_name).c_str(),
                                              O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
                ::umask(mask);
                notify_ready();
            } else {
                // A relay that does not listen is no relay: it ends, and its
                // start fails at once rather than at the unit's time-out.
                say("stunnel's services do not listen after 10 s (see its lines above): ending it");
                ::kill(child, SIGTERM);
                gave_up = true;
            }
        }
        pollfd waits[] = {{log_read.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
        if (::poll(waits, 2, ready ? -1 : 20) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents & POLLIN) {
            signalfd_siginfo info {};
            if (::read(signals.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                ::kill(child, static_cast<int>(info.ssi_signo));
        }
        if (waits[0].revents == 0)
            continue;
        char block[4096];
        const ssize_t got = ::read(log_read.get(), block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // stunnel has ended
        pending.append(block, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            std::fprintf(stderr, "%s\n", line.c_str());
            verdicts.take(line);
        }
        if (pending.size() > line_limit) {  // a line without end: passed on as it is
            std::fprintf(stderr, "%s\n", pending.c_str());
            pending.clear();
        }
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ::unlink((run_dir + "/" + relay_ready_name).c_str());
    if (gave_up)
        return 1;
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) != 0)
            say("stunnel ended with status " + std::to_string(WEXITSTATUS(status)));
        return WEXITSTATUS(status);
    }
    say("stunnel ended by signal " + std::to_string(WTERMSIG(status)));
    return WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGINT ? 0 : 1;
}
