#include "station_kit/pbx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "common/c_holders.h"
#include "station_kit/sip_stack.h"

namespace {

const std::string sip_dir = STATION_SIP_DIR;

std::string filled(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [name, value] : values)
        for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    return text;
}

void write_file(const std::string& path, const std::string& text)
{
    file_ptr file(std::fopen(path.c_str(), "w"));
    if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size())
        throw std::runtime_error("cannot write " + path);
}

// Runs a command to its end with both outputs into the file; its status.
int run(const std::vector<std::string>& argv, const std::string& log)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    const pid_t pid = spawn(argv, env, log, log + ".err");
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The sockets of /proc/net/FILE (tcp, tcp6, udp, udp6) on the local port,
// in the state (hexadecimal, as the kernel writes it), or any state.
bool socket_in(const std::string& file, int port, const std::string& state)
{
    std::istringstream lines(read_text_file("/proc/net/" + file));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st;
        if (!(fields >> slot >> local >> remote >> st))
            continue;
        const std::size_t colon = local.rfind(':');
        if (colon == std::string::npos)
            continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) == port && (state.empty() || st == state))
            return true;
    }
    return false;
}

// True while the process exists and is no zombie.
bool alive(pid_t pid)
{
    const std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && stat.size() > end + 2 && stat[end + 2] != 'Z';
}

// A netstring frame's JSON text escaped as a string value.
std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// Runs openssl with the arguments, its outputs beside the log's name;
// throws when it fails.
void openssl(const std::vector<std::string>& args, const std::string& log)
{
    std::vector<std::string> argv {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = run(argv, log);
    if (status != 0)
        throw std::runtime_error("openssl failed (" + std::to_string(status) + "): " + read_text_file(log) +
                                 read_text_file(log + ".err"));
}

// An EC key is made in a few milliseconds, where RSA takes a tenth of a
// second or more.
const std::vector<std::string> ec_key {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

std::vector<std::string> joined_words(std::vector<std::string> first, const std::vector<std::string>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

}  // namespace

test_certificate make_test_certificate(const std::string& dir)
{
    std::filesystem::create_directories(dir);
    test_certificate made {dir + "/sip.pem", dir + "/ca.pem", dir + "/key.pem"};
    openssl(joined_words(joined_words({"req", "-x509"}, ec_key),
                         {"-keyout", made.key, "-out", made.ca, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                          "subjectAltName=IP:127.0.0.1,IP:::1"}),
            dir + "/openssl.log");
    write_file(made.pem, read_text_file(made.ca) + read_text_file(made.key));
    return made;
}

test_authority make_test_authority(const std::string& dir, const std::string& name)
{
    std::filesystem::create_directories(dir);
    test_authority made {dir + "/" + name + ".pem", dir + "/" + name + ".key"};
    openssl(joined_words(joined_words({"req", "-x509"}, ec_key),
                         {"-keyout", made.key, "-out", made.certificate, "-days", "2", "-subj", "/CN=" + name,
                          "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                          "keyUsage=critical,keyCertSign,cRLSign"}),
            dir + "/openssl-" + name + ".log");
    return made;
}

test_certificate make_signed_certificate(const std::string& dir, const std::string& stem,
                                         const test_authority& authority, const std::string& dns_name)
{
    std::filesystem::create_directories(dir);
    test_certificate made {dir + "/" + stem + ".pem", dir + "/" + stem + "-cert.pem", dir + "/" + stem + "-key.pem"};
    const std::string request = dir + "/" + stem + ".csr";
    const std::string extensions = dir + "/" + stem + ".ext";
    write_file(extensions, "subjectAltName=DNS:" + dns_name + ",IP:127.0.0.1,IP:::1\n");
    const std::string log = dir + "/openssl-" + stem + ".log";
    openssl(joined_words(joined_words({"req"}, ec_key),
                         {"-keyout", made.key, "-out", request, "-subj", "/CN=" + dns_name}),
            log);
    openssl({"x509", "-req", "-in", request, "-CA", authority.certificate, "-CAkey", authority.key, "-CAcreateserial",
             "-out", made.ca, "-days", "2", "-extfile", extensions},
            log);
    write_file(made.pem, read_text_file(made.ca) + read_text_file(made.key));
    return made;
}

bool tcp_listening(int port)
{
    return socket_in("tcp", port, "0A") || socket_in("tcp6", port, "0A");
}

bool udp_bound(int port)
{
    return socket_in("udp", port, "") || socket_in("udp6", port, "");
}

pbx::pbx(const kit_root& root, const std::string& host) : root_(root), host_(host)
{
    // Kamailio takes port_ (UDP, TCP) and the one above (TLS); the far
    // phone takes port_ + 8 to port_ + 21.
    port_ = free_port_block(32);
    dir_ = root_.file("/pbx");
}

pbx::~pbx()
{
    stop();
}

void pbx::add_user(const std::string& auth_name, const std::string& password)
{
    users_.emplace_back(auth_name, password);
}

void pbx::use_tls(const test_certificate& certificate)
{
    certificate_ = certificate;
}

std::string pbx::config_text() const
{
    // Its addresses are its own with any transport: an address of record
    // "sip:2000@HOST:PORT;transport=tls" names it as much as one without.
    std::string listen = "alias=" + address() + "\nalias=" + tls_address() + "\n";
    for (const char* protocol : {"udp", "tcp"})
        listen += std::string("listen=") + protocol + ":" + address() + "\n";
    std::string tls_core;
    std::string tls_module;
    if (certificate_) {
        listen += "listen=tls:" + tls_address() + "\n";
        tls_core = "enable_tls=yes\n";
        // A test peer's certificate is self-signed: nothing is verified.
        tls_module = "loadmodule \"tls.so\"\n"
                     "modparam(\"tls\", \"certificate\", \"" + certificate_->ca + "\")\n"
                     "modparam(\"tls\", \"private_key\", \"" + certificate_->key + "\")\n"
                     "modparam(\"tls\", \"ca_list\", \"" + certificate_->ca + "\")\n"
                     "modparam(\"tls\", \"verify_certificate\", 0)\n"
                     "modparam(\"tls\", \"require_certificate\", 0)\n"
                     "modparam(\"tls\", \"tls_method\", \"TLSv1.2+\")\n";
    }
    std::string users;
    for (const auto& [name, password] : users_)
        users += "\t$sht(users=>" + name + ") = " + json_string(password) + ";\n";
    return filled(read_text_file(sip_dir + "/kamailio.cfg.in"), {{"@LISTEN@", listen},
                                                                {"@TLS_CORE@", tls_core},
                                                                {"@TLS_MODULE@", tls_module},
                                                                {"@USERS@", users},
                                                                {"@RECORD_ROUTE@", record_route_
                                                                                       ? "record_route();"
                                                                                       : "# no record_route()"}});
}

bool pbx::start()
{
    std::filesystem::create_directories(dir_);
    write_file(dir_ + "/kamailio.cfg", config_text());
    if (kamailio_)
        earlier_output_ += kamailio_->output() + kamailio_->errors();
    // The runtime folder (-Y) and pid file keep it off the service's
    // folders; a small shared memory is plenty for a test.
    kamailio_ = std::make_unique<kit_program>(
        root_, "kamailio",
        std::vector<std::string> {"-DD", "-E", "-f", dir_ + "/kamailio.cfg", "-P", dir_ + "/kamailio.pid", "-Y",
                                  dir_, "-m", "32", "-M", "8"});
    const auto bound = [&] {
        return udp_bound(port()) && tcp_listening(port()) && (!certificate_ || tcp_listening(tls_port()));
    };
    return wait_until([&] { return bound() || !kamailio_->running(); }, 10s) && kamailio_->running();
}

void pbx::stop()
{
    if (!kamailio_ || !kamailio_->running())
        return;
    const pid_t main = kamailio_->pid();
    const std::vector<pid_t> children = children_of(main);
    // The main process ends its children on SIGTERM; a child left over
    // would keep the ports from the next start.
    ::kill(main, SIGTERM);
    if (!kamailio_->wait_exit(5s))
        kamailio_->kill();
    if (!wait_until([&] { return std::none_of(children.begin(), children.end(), alive); }, 3s))
        for (const pid_t child : children)
            if (alive(child))
                ::kill(child, SIGKILL);
    wait_until([&] { return std::none_of(children.begin(), children.end(), alive); }, 2s);
    std::filesystem::remove(dir_ + "/kamailio.pid");
}

bool pbx::restart()
{
    stop();
    return start();
}

bool pbx::running()
{
    return kamailio_ && kamailio_->running();
}

std::string pbx::output() const
{
    return earlier_output_ + (kamailio_ ? kamailio_->output() + kamailio_->errors() : "");
}

std::vector<std::string> pbx::log_lines(const std::string& part) const
{
    std::vector<std::string> lines;
    std::istringstream text(output());
    for (std::string line; std::getline(text, line);) {
        const std::size_t at = line.find("PBX ");
        if (at != std::string::npos && line.find(part, at) != std::string::npos)
            lines.push_back(line.substr(at));
    }
    return lines;
}

std::string pbx::report() const
{
    return "--- Kamailio output:\n" + output();
}

far_phone::far_phone(const kit_root& root, const pbx& registrar, far_phone_options options)
    : root_(root), registrar_(registrar), options_(std::move(options))
{
    dir_ = root_.file("/far_phone");
    sip_port_ = registrar_.far_phone_ports();  // TLS on the port above
    control_port_ = sip_port_ + 2;
    rtp_first_ = sip_port_ + 4;  // to sip_port_ + 13
}

far_phone::~far_phone()
{
    // A far phone that un-registered on SIGTERM could wait for a registrar
    // that is gone; nothing of it is needed at the end.
    if (baresip_)
        baresip_->kill();
}

std::string far_phone::aor() const
{
    return "sip:" + options_.user + "@" + registrar_.address();
}

bool far_phone::start(std::chrono::milliseconds timeout)
{
    std::filesystem::create_directories(dir_);
    const bool ipv6 = registrar_.host().front() == '[';
    std::string config = filled(read_text_file(sip_dir + "/config.in"),
                                {{"@SIP_PORT@", std::to_string(sip_port_)},
                                 {"@RTP_FIRST@", std::to_string(rtp_first_)},
                                 {"@RTP_LAST@", std::to_string(rtp_first_ + 9)},
                                 {"@CONTROL_PORT@", std::to_string(control_port_)}});
    if (ipv6)
        config = filled(config, {{"net_interface    127.0.0.1", "net_interface    ::1\nnet_prefer_ipv6  yes"},
                                 {"sip_listen       127.0.0.1:", "sip_listen       [::1]:"}});
    if (!options_.mediaenc.empty())
        config += "module           srtp.so\n";
    if (options_.certificate)
        config += "sip_certificate  " + options_.certificate->pem + "\nsip_cafile       " + options_.certificate->ca +
                  "\n";
    write_file(dir_ + "/config", config);

    std::string account = "<" + aor() + ">;auth_pass=" + options_.password;
    if (options_.transport == "tcp")
        account += ";outbound=\"sip:" + registrar_.address() + ";transport=tcp\"";
    else if (options_.transport == "tls")
        account += ";outbound=\"sip:" + registrar_.tls_address() + ";transport=tls\"";
    account += ";regint=" + std::to_string(options_.regint) + ";answermode=auto";
    if (!options_.mediaenc.empty())
        account += ";mediaenc=" + options_.mediaenc;
    write_file(dir_ + "/accounts", account + "\n");
    write_file(dir_ + "/contacts", "");

    baresip_ = std::make_unique<kit_program>(root_, "baresip", std::vector<std::string> {"-f", dir_});
    // The control port is seen in /proc/net/tcp: a probe by connect() would
    // take the one client place of ctrl_tcp.
    return wait_until([&] { return (tcp_listening(control_port_) && registered()) || !baresip_->running(); },
                      timeout) &&
           baresip_->running();
}

std::size_t far_phone::registrations() const
{
    // baresip says "3000@127.0.0.1:PORT: {0/UDP/v4} 200 OK ..." only for a
    // change of its state, not for a refresh: the registrar's log counts
    // them all.
    std::size_t saved = 0;
    for (const std::string& line : registrar_.log_lines("PBX REGISTERED "))
        if (line.find(" " + aor() + " ") != std::string::npos)
            ++saved;
    return saved;
}

bool far_phone::registered() const
{
    // "3000@127.0.0.1:PORT: {0/UDP/v4} 200 OK (kamailio ...) [1 binding]"
    return output().find("} 200 OK") != std::string::npos;
}

bool far_phone::wait_registered(std::size_t times, std::chrono::milliseconds timeout)
{
    return wait_until([&] { return registrations() >= times; }, timeout);
}

std::optional<std::string> far_phone::command(const std::string& command, const std::string& params,
                                              std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto left = [&] {
        return static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                   .count()));
    };
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(control_port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;

    const std::string token = "t" + std::to_string(++token_);
    const std::string json = "{\"command\":" + json_string(command) + ",\"params\":" + json_string(params) +
                             ",\"token\":" + json_string(token) + "}";
    const std::string frame = std::to_string(json.size()) + ":" + json + ",";
    if (::send(fd.get(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        return std::nullopt;

    // Events come on the same connection; the reply is the frame that
    // answers with the token.
    std::string received;
    for (;;) {
        for (;;) {
            const std::size_t colon = received.find(':');
            if (colon == std::string::npos || colon == 0 ||
                received.find_first_not_of("0123456789") != colon)
                break;
            const std::size_t length = std::stoul(received.substr(0, colon));
            if (received.size() < colon + 1 + length + 1)
                break;
            const std::string message = received.substr(colon + 1, length);
            received.erase(0, colon + 1 + length + 1);
            if (message.find("\"response\":true") != std::string::npos &&
                message.find("\"token\":\"" + token + "\"") != std::string::npos)
                return message;
        }
        pollfd wait_for {fd.get(), POLLIN, 0};
        if (::poll(&wait_for, 1, left()) <= 0)
            return std::nullopt;
        char buffer[4096];
        const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0)
            return std::nullopt;
        received.append(buffer, static_cast<std::size_t>(got));
    }
}

bool far_phone::dial(const std::string& number)
{
    const std::optional<std::string> reply = command("dial", number);
    return reply && reply->find("\"ok\":true") != std::string::npos;
}

bool far_phone::hangup()
{
    const std::optional<std::string> reply = command("hangup");
    return reply && reply->find("\"ok\":true") != std::string::npos;
}

std::string far_phone::output() const
{
    return baresip_ ? baresip_->output() + baresip_->errors() : "";
}

std::string far_phone::report() const
{
    return baresip_ ? baresip_->report("far phone (baresip " + options_.user + ")") : "";
}
