#include "station_kit/sip_stack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "common/c_holders.h"

namespace {

const std::string sip_dir = STATION_SIP_DIR;

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// True when another process holds the port: binding it fails.
bool port_taken(int socket_type, int port)
{
    unique_fd fd(::socket(AF_INET, socket_type | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopback(port);
    return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
}

std::string filled(std::string text, const std::vector<std::pair<std::string, std::string>>& values)
{
    for (const auto& [name, value] : values)
        for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at))
            text.replace(at, name.size(), value);
    return text;
}

// A block is this process's while it holds the block's lock file: the
// ports are free when they are tried, but the program that takes them
// starts later, and a test running beside this one must not take the same
// block meanwhile. The lock goes with the process, however it ends.
unique_fd claim_block(int base)
{
    const std::string folder =
        std::filesystem::temp_directory_path() / ("station-test-ports-" + std::to_string(::getuid()));
    ::mkdir(folder.c_str(), 0700);
    unique_fd lock(::open((folder + "/" + std::to_string(base)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        lock = unique_fd();
    return lock;
}

}  // namespace

std::string sipbridge_binary()
{
    return STATION_BIN_DIR "/sipbridge";
}

int free_port_block(int count)
{
    // Blocks below the kernel's ephemeral range (from 32768), so that no
    // port the kernel hands out for a connection falls into one; the first
    // block tried depends on the process, so parallel tests start apart.
    constexpr int first = 10000;
    constexpr int blocks = (32768 - first) / 32;
    static int tried = static_cast<int>(::getpid()) * 7;
    for (int attempt = 0; attempt < blocks; ++attempt) {
        const int base = first + (tried++ % blocks) * 32;
        unique_fd claim = claim_block(base);
        bool all_free = static_cast<bool>(claim);
        {
            std::vector<unique_fd> held;
            for (int port = base; port < base + count && all_free; ++port)
                for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
                    unique_fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
                    const sockaddr_in address = loopback(port);
                    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                        all_free = false;
                    held.push_back(std::move(fd));
                }
        }
        if (all_free) {
            static std::vector<unique_fd> claims;
            claims.push_back(std::move(claim));
            return base;
        }
    }
    throw std::runtime_error("no free block of loopback ports");
}

sip_stack::sip_stack(const kit_root& root) : root_(root)
{
    // SIPp's media port takes four ports (audio and video, RTP and RTCP).
    const int base = free_port_block(32);
    registrar_port_ = base;
    media_port_ = base + 4;
    sip_port_ = base + 8;
    control_port_ = base + 10;
    caller_port_ = base + 12;
    caller_media_port_ = base + 16;
    rtp_first_ = base + 20;  // to base + 29
}

std::string sip_stack::account_settings() const
{
    const std::string host = "127.0.0.1:" + std::to_string(registrar_port_);
    return "[account_info_1]\nenable = yes\nusername = 2000\ndomain = " + host + "\nserver = " + host +
           "\npassword = secret\n" + listen_settings();
}

std::string sip_stack::listen_settings(const std::string& host) const
{
    return "[sip]\nlisten = " + host + ":" + std::to_string(sip_port_) + "\n";
}

std::string sip_stack::aor() const
{
    return "sip:2000@127.0.0.1:" + std::to_string(registrar_port_);
}

std::string sip_stack::far_uri(const std::string& number) const
{
    return "sip:" + number + "@127.0.0.1:" + std::to_string(registrar_port_);
}

bool sip_stack::start_far_end()
{
    far_end_ = std::make_unique<kit_program>(
        root_, "sipp",
        std::vector<std::string> {"-sf", sip_dir + "/far_end.xml", "-i", "127.0.0.1", "-p",
                                  std::to_string(registrar_port_), "-mi", "127.0.0.1", "-mp",
                                  std::to_string(media_port_), "-nostdin", "-trace_msg", "-message_file",
                                  far_end_trace_path(), "-trace_err", "-error_file",
                                  root_.file("/far_end.errors")});
    return wait_until([&] { return port_taken(SOCK_DGRAM, registrar_port_) || !far_end_->running(); }, 5s) &&
           far_end_->running();
}

bool sip_stack::start()
{
    return start_far_end() && start_user_agent() && start_bridge();
}

bool sip_stack::start_user_agent()
{
    return write_user_agent_config() && run_user_agent();
}

std::string sip_stack::user_agent_user() const
{
    return std::to_string(user_agent_uid_.value_or(::getuid()));
}

bool sip_stack::write_user_agent_config()
{
    // The board's part of the configuration is the device's template; the
    // bridge writes the rest from the settings, giving the files to the
    // folder's owner.
    std::filesystem::create_directories(root_.file("/ua"));
    if (user_agent_uid_ && ::chown(root_.file("/ua").c_str(), *user_agent_uid_, *user_agent_uid_) != 0)
        return false;
    root_.write("/etc/station/baresip.conf", filled(read_text_file(sip_dir + "/config.in"),
                                                    {{"@SIP_PORT@", std::to_string(sip_port_)},
                                                     {"@RTP_FIRST@", std::to_string(rtp_first_)},
                                                     {"@RTP_LAST@", std::to_string(rtp_first_ + 9)},
                                                     {"@CONTROL_PORT@", std::to_string(control_port_)}}));
    kit_program writer(root_, sipbridge_binary(), {"--write-config", root_.file("/ua")});
    if (writer.wait_exit(5s) == 0)
        return true;
    config_errors_ = writer.output() + writer.errors();
    return false;
}

bool sip_stack::run_user_agent()
{
    if (user_agent_uid_) {
        const std::string id = std::to_string(*user_agent_uid_);
        user_agent_ = std::make_unique<kit_program>(
            root_, "setpriv",
            std::vector<std::string> {"--reuid=" + id, "--regid=" + id, "--clear-groups", "--", "baresip", "-f",
                                      root_.file("/ua")});
    } else {
        user_agent_ =
            std::make_unique<kit_program>(root_, "baresip", std::vector<std::string> {"-f", root_.file("/ua")});
    }
    return wait_until([&] { return port_taken(SOCK_STREAM, control_port_) || !user_agent_->running(); }, 5s) &&
           user_agent_->running();
}

bool sip_stack::start_bridge(std::vector<std::string> args, const std::vector<std::string>& env)
{
    args.insert(args.begin(), {"--ua", "127.0.0.1:" + std::to_string(control_port_)});
    // baresip runs as this process's user here, so the bridge must take a
    // control socket of that user's (unless the caller says otherwise).
    std::vector<std::string> bridge_env = {"STATION_UA_USER=" + user_agent_user()};
    bridge_env.insert(bridge_env.end(), env.begin(), env.end());
    bridge_.reset();  // the user agent serves one client at a time
    bridge_ = std::make_unique<kit_program>(root_, sipbridge_binary(), std::move(args), bridge_env);
    return bridge_->wait_output("connected to the user agent");
}


std::vector<int> sip_stack::media_ports() const
{
    std::vector<int> ports;
    for (int port = rtp_first_; port <= rtp_first_ + 9; ++port)
        ports.push_back(port);
    return ports;
}

std::unique_ptr<kit_program> sip_stack::call_station(const std::string& scenario) const
{
    return std::make_unique<kit_program>(
        root_, "sipp",
        std::vector<std::string> {"127.0.0.1:" + std::to_string(sip_port_), "-sf", sip_dir + "/" + scenario, "-s",
                                  "2000", "-i", "127.0.0.1", "-p", std::to_string(caller_port_), "-mi",
                                  "127.0.0.1", "-mp", std::to_string(caller_media_port_), "-m", "1",
                                  "-nostdin", "-trace_err", "-error_file", root_.file("/caller.errors")});
}

std::string sip_stack::user_agent_dir() const
{
    return root_.file("/ua");
}

std::unique_ptr<kit_program> sip_stack::stranger_calls(bool forged_via) const
{
    // The stranger's own address is another one of loopback, so its SIP
    // port may be any of the block and its media ports the caller's.
    const std::string stranger = "127.0.0.2";
    const int port = sip_port_ + 22;
    const std::string registrar = "127.0.0.1:" + std::to_string(registrar_port_);
    std::filesystem::remove(root_.file("/stranger.messages"));
    return std::make_unique<kit_program>(
        root_, "sipp",
        std::vector<std::string> {"127.0.0.1:" + std::to_string(sip_port_), "-sf", sip_dir + "/stranger.xml", "-s",
                                  "2000", "-i", stranger, "-p", std::to_string(port), "-mi", stranger, "-mp",
                                  std::to_string(caller_media_port_), "-m", "1", "-recv_timeout", "2000", "-key", "registrar", registrar,
                                  "-key", "via", forged_via ? registrar : stranger + ":" + std::to_string(port),
                                  "-nostdin", "-trace_msg", "-message_file", root_.file("/stranger.messages"),
                                  "-trace_err", "-error_file", root_.file("/stranger.errors")});
}

std::string sip_stack::stranger_messages() const
{
    return read_text_file(root_.file("/stranger.messages"));
}

void sip_stack::stop_user_agent(int signal)
{
    if (user_agent_ && user_agent_->running())
        ::kill(user_agent_->pid(), signal);
}

std::string sip_stack::far_end_messages() const
{
    return read_text_file(far_end_trace_path());
}

std::vector<traced_message> sip_trace_reader::feed(const std::vector<std::string>& lines)
{
    // Each message follows a line "UDP message received [N] bytes :" or
    // "UDP message sent (N bytes):", and a blank line.
    std::vector<traced_message> messages;
    for (std::string line : lines) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find(" message received [") != std::string::npos || line.find(" message sent (") != std::string::npos) {
            received_ = line.find(" received ") != std::string::npos;
            in_header_ = true;
        } else if (in_header_ && !line.empty()) {
            in_header_ = false;
            messages.push_back({received_, line});
        }
    }
    return messages;
}

std::string sip_stack::far_end_trace_path() const
{
    return root_.file("/far_end.messages");
}

std::vector<std::string> sip_stack::far_end_requests() const
{
    std::vector<std::string> lines;
    std::istringstream text(far_end_messages());
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    std::vector<std::string> requests;
    for (const traced_message& message : sip_trace_reader().feed(lines))
        if (message.received && message.first_line.rfind("SIP/2.0", 0) != 0)
            requests.push_back(message.first_line);
    return requests;
}

std::string sip_stack::report() const
{
    std::string out = config_errors_;
    if (far_end_)
        out += far_end_->report("far end (SIPp)") + read_text_file(root_.file("/far_end.errors"));
    if (user_agent_)
        out += user_agent_->report("baresip");
    if (bridge_)
        out += bridge_->report("sipbridge");
    return out;
}
