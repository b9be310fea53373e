#include "station_kit/site_log.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "common/c_holders.h"
#include "sitelog/rsyslog_files.h"
#include "station_kit/pbx.h"
#include "station_kit/sip_stack.h"

namespace {

const std::string bin_dir = STATION_BIN_DIR;

// An exit status that no errno takes.
constexpr int could_not_become = 255;

void write_file(const std::string& path, const std::string& text)
{
    file_ptr file(std::fopen(path.c_str(), "w"));
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size())
        throw std::runtime_error("cannot write " + path);
}

// The process's environment, as the tools are run with it.
std::vector<std::string> own_environment()
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    return env;
}

// Runs openssl to its end, its outputs into LOG; throws when it fails.
void openssl(const std::vector<std::string>& args, const std::string& log)
{
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = spawn(argv, own_environment(), log, log + ".err");
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("openssl " + args.front() + " failed: " + read_text_file(log) +
                                 read_text_file(log + ".err"));
}

std::string stem_of(const std::string& name)
{
    std::string stem;
    for (const char c : name)
        stem += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '-';
    return stem;
}

// A datagram socket connected to the socket path (connect() sends
// nothing): 0, or the errno (ECONNREFUSED: nothing receives there).
int connect_datagram(const std::string& path, unique_fd& fd)
{
    sockaddr_un to {};
    to.sun_family = AF_UNIX;
    if (path.size() >= sizeof to.sun_path)
        return ENAMETOOLONG;
    std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
    fd.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        return errno;
    return 0;
}

// Sends the datagram to the socket path: 0, or the errno.
int send_to(const std::string& path, const std::string& text)
{
    unique_fd fd;
    if (const int failed = connect_datagram(path, fd))
        return failed;
    return ::send(fd.get(), text.data(), text.size(), 0) < 0 ? errno : 0;
}

// Whether a receiver is bound at the path.
bool receives(const std::string& path)
{
    unique_fd fd;
    return connect_datagram(path, fd) == 0;
}

// Runs the work in a child process that became the user and group; its
// result (an errno or 0), or nothing when it could not become them.
template <typename Work>
std::optional<int> as_user(uid_t uid, gid_t gid, Work work)
{
    const pid_t child = ::fork();
    if (child < 0)
        return std::nullopt;
    if (child == 0) {
        const bool became = ::setgroups(1, &gid) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 && ::getuid() == uid;
        ::_exit(became ? work() : could_not_become);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) == could_not_become)
        return std::nullopt;
    return WEXITSTATUS(status);
}

// Ends a program by pid: SIGTERM, then SIGKILL after the grace.
void end(std::unique_ptr<kit_program>& program, std::string& earlier_output, std::chrono::milliseconds grace)
{
    if (!program)
        return;
    if (program->running()) {
        if (grace.count() > 0)
            ::kill(program->pid(), SIGTERM);
        if (grace.count() == 0 || !program->wait_exit(grace))
            program->kill();
    }
    earlier_output += program->output() + program->errors();
    program.reset();
}

}  // namespace

site_ca make_site_ca(const std::string& dir, const std::string& common_name)
{
    std::filesystem::create_directories(dir);
    const std::string stem = dir + "/" + stem_of(common_name) + "-ca";
    site_ca made {stem + ".pem", stem + ".key"};
    // EC keys: made in milliseconds, where RSA takes a tenth of a second.
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             made.key, "-out", made.cert, "-days", "2", "-subj", "/CN=" + common_name, "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
            stem + ".log");
    return made;
}

site_certificate make_site_certificate(const std::string& dir, const site_ca& ca, const std::string& stem,
                                       const std::vector<std::string>& dns_names,
                                       const std::vector<std::string>& ip_addresses)
{
    std::filesystem::create_directories(dir);
    const std::string base = dir + "/" + stem;
    site_certificate made {base + ".pem", base + ".key"};
    std::string names;
    for (const std::string& name : dns_names)
        names += (names.empty() ? "DNS:" : ",DNS:") + name;
    for (const std::string& address : ip_addresses)
        names += (names.empty() ? "IP:" : ",IP:") + address;
    const std::string subject = !dns_names.empty() ? dns_names.front() : ip_addresses.at(0);
    write_file(base + ".ext", "subjectAltName=" + names + "\nextendedKeyUsage=serverAuth\n");
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", made.key,
             "-out", base + ".csr", "-subj", "/CN=" + subject},
            base + ".log");
    openssl({"x509", "-req", "-in", base + ".csr", "-CA", ca.cert, "-CAkey", ca.key, "-CAcreateserial", "-out",
             made.cert, "-days", "2", "-extfile", base + ".ext"},
            base + ".sign.log");
    return made;
}

int free_site_port()
{
    return free_port_block(1);
}

std::string site_rsyslogd()
{
    return find_rsyslogd();
}

site_log_server::site_log_server(std::string dir) : dir_(std::move(dir))
{
    std::filesystem::create_directories(dir_ + "/work");
}

site_log_server::~site_log_server()
{
    stop();
}

bool site_log_server::start(int port, const site_certificate& certificate, const std::string& ca_file)
{
    stop();
    port_ = port;
    certificate_ = certificate;
    ca_file_ = ca_file;
    const std::string config =
        "global(workDirectory=\"" + dir_ + "/work\" maxMessageSize=\"64k\"\n"
        "       DefaultNetstreamDriverCAFile=\"" + ca_file + "\"\n"
        "       DefaultNetstreamDriverCertFile=\"" + certificate.cert + "\"\n"
        "       DefaultNetstreamDriverKeyFile=\"" + certificate.key + "\")\n"
        "module(load=\"imtcp\" StreamDriver.Name=\"gtls\" StreamDriver.Mode=\"1\" StreamDriver.AuthMode=\"anon\")\n"
        "template(name=\"received_line\" type=\"string\" string=\"%rawmsg%\\n\")\n"
        "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(port) + "\" ruleset=\"received\")\n"
        "ruleset(name=\"received\") {\n"
        "    action(type=\"omfile\" file=\"" + dir_ + "/received.log\" template=\"received_line\")\n"
        "}\n";
    write_file(dir_ + "/server.conf", config);
    std::vector<std::string> argv = {site_rsyslogd(), "-n", "-iNONE", "-f", dir_ + "/server.conf"};
    rsyslogd_ = std::make_unique<kit_program>(argv, own_environment(), dir_ + "/rsyslogd");
    return wait_until([&] { return tcp_listening(port_) || !rsyslogd_->running(); }, 10s) && rsyslogd_->running();
}

void site_log_server::stop()
{
    end(rsyslogd_, earlier_output_, 5s);
}

bool site_log_server::restart()
{
    stop();
    return start(port_, certificate_, ca_file_);
}

bool site_log_server::running()
{
    return rsyslogd_ && rsyslogd_->running();
}

std::vector<std::string> site_log_server::received() const
{
    // Whole lines only: the last one may be in the middle of its write.
    std::string text = read_text_file(dir_ + "/received.log");
    text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool site_log_server::wait_for(const std::function<bool(const std::vector<std::string>&)>& predicate,
                               std::chrono::milliseconds timeout) const
{
    return wait_until([&] { return predicate(received()); }, timeout);
}

std::size_t site_log_server::count(const std::string& message) const
{
    const std::vector<std::string> lines = received();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), message));
}

std::string site_log_server::report() const
{
    std::string text = "--- the site's log server (rsyslogd) said:\n" + earlier_output_;
    if (rsyslogd_)
        text += rsyslogd_->output() + rsyslogd_->errors();
    return text + "--- it received:\n" + read_text_file(dir_ + "/received.log");
}

site_log_station::site_log_station(const kit_root& root) : root_(root)
{
    // As the package's tmpfiles rules and maintainer scripts make them.
    for (const auto& [folder, mode] : {std::pair<std::string, mode_t>{"/run/station-sitelog", 0750},
                                       {"/userdata/sitelog", 0700},
                                       {"/var/lib/station-sitelog", 0700}}) {
        std::filesystem::create_directories(root_.file(folder));
        ::chmod(root_.file(folder).c_str(), mode);
    }
}

site_log_station::~site_log_station()
{
    stop();
}

int site_log_station::write_config(const std::string& option)
{
    // A program of the build: under the emulator on a cross-build.
    std::vector<std::string> argv;
    std::istringstream emulator(program_emulator());
    for (std::string word; emulator >> word;)
        argv.push_back(word);
    argv.insert(argv.end(), {bin_dir + "/station-sitelog", option});
    kit_program run(argv, station_environment(root_.path(), root_.bin_dir()), root_.file("/station-sitelog"));
    const std::optional<int> status = run.wait_exit(10s);
    last_output_ = run.output();
    last_errors_ = run.errors();
    return status ? *status : -1;
}

bool site_log_station::start()
{
    stop();
    std::vector<std::string> argv = {site_rsyslogd(), "-n", "-iNONE", "-f", config_file()};
    rsyslogd_ = std::make_unique<kit_program>(argv, own_environment(), root_.file("/site-instance"));
    return wait_until([&] { return receives(socket_path()) || !rsyslogd_->running(); }, 10s) &&
           rsyslogd_->running();
}

void site_log_station::stop()
{
    end(rsyslogd_, earlier_output_, 5s);
}

void site_log_station::kill()
{
    end(rsyslogd_, earlier_output_, 0s);
}

bool site_log_station::running()
{
    return rsyslogd_ && rsyslogd_->running();
}

std::string site_log_station::config_file() const
{
    return root_.file("/var/lib/station-sitelog/rsyslog.conf");
}

std::string site_log_station::ca_copy() const
{
    return root_.file("/var/lib/station-sitelog/site-ca.pem");
}

std::string site_log_station::socket_path() const
{
    return root_.file("/run/station-sitelog/log.sock");
}

std::string site_log_station::queue_dir() const
{
    return root_.file("/userdata/sitelog");
}

std::string site_log_station::report() const
{
    std::string text = "--- station-sitelog said:\n" + last_output_ + last_errors_ +
                       "--- the station's instance (rsyslogd) said:\n" + earlier_output_;
    if (rsyslogd_)
        text += rsyslogd_->output() + rsyslogd_->errors();
    text += "--- its queue:\n";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(queue_dir(), error))
        text += entry.path().filename().string() + " (" + std::to_string(entry.file_size(error)) + " bytes)\n";
    return text + "--- its configuration:\n" + read_text_file(config_file());
}

std::string site_settings_text(const std::string& log_server, const std::string& log_ca, const std::string& log_name,
                               const std::string& name)
{
    std::string text = "[site]\n";
    for (const auto& [key, value] : {std::pair<const char*, const std::string&>{"log_server", log_server},
                                     {"log_ca", log_ca},
                                     {"log_name", log_name},
                                     {"name", name}})
        if (!value.empty())
            text += std::string(key) + " = " + value + "\n";
    return text;
}

int send_datagram(const kit_root& root, const std::string& text)
{
    return send_to(root.file("/run/station-sitelog/log.sock"), text);
}

std::optional<int> send_datagram_as(uid_t uid, gid_t gid, const kit_root& root, const std::string& text)
{
    const std::string path = root.file("/run/station-sitelog/log.sock");
    return as_user(uid, gid, [&] { return send_to(path, text); });
}

std::optional<int> open_as(uid_t uid, gid_t gid, const std::string& path)
{
    return as_user(uid, gid, [&] {
        const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        return fd ? 0 : errno;
    });
}
