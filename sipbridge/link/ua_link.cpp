#include "sipbridge/link/ua_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

#include "common/json_text.h"
#include "common/redis_link.h"
#include "sipbridge/link/netstring.h"
#include "sipbridge/trust/ua_owner.h"

namespace {

// Every command that the bridge's plans and its start on a connection use
// (uadel and uanew register a failed account anew, with a line made from the
// settings). Module loading, quitting and the like are none of the bridge's
// business.
constexpr std::array<const char*, 8> bridge_commands = {"accept", "callfind", "dial",  "hangup",
                                                         "reginfo", "uadel",   "uafind", "uanew"};

// A text for the console: control characters shown as '?', cut short.
std::string shown(const std::string& text)
{
    std::string out = text.substr(0, 80);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

}  // namespace

std::optional<ua_address> parse_ua_address(const std::string& text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    ua_address address;
    address.host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    in_addr parsed {};
    if (inet_pton(AF_INET, address.host.c_str(), &parsed) != 1 || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    address.port = std::stoi(port);
    if (address.port <= 0 || address.port > 65535)
        return std::nullopt;
    return address;
}

std::string ua_request_refusal(const std::string& command, const std::string& params)
{
    const bool known = std::any_of(bridge_commands.begin(), bridge_commands.end(),
                                   [&](const char* name) { return command == name; });
    if (!known)
        return "refusing to send \"" + shown(command) + "\" to the user agent: not a command the bridge sends";
    const bool one_line = std::none_of(params.begin(), params.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (!one_line)
        return "refusing to send \"" + command + " " + shown(params) +
               "\" to the user agent: its parameters hold control characters";
    return "";
}

unique_fd ua_link::connect_once(std::string& error)
{
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        error = std::strerror(errno);
        return {};
    }
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(address_.port));
    inet_pton(AF_INET, address_.host.c_str(), &to.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        if (errno != EINPROGRESS) {
            error = std::strerror(errno);
            return {};
        }
        pollfd wait {fd.get(), POLLOUT, 0};
        const int timeout_ms = static_cast<int>(std::chrono::milliseconds(ua_reply_timeout).count());
        if (::poll(&wait, 1, timeout_ms) != 1) {
            error = "no answer within " + std::to_string(ua_reply_timeout.count()) + " s";
            return {};
        }
        int failure = 0;
        socklen_t size = sizeof failure;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &failure, &size);
        if (failure != 0) {
            error = std::strerror(failure);
            return {};
        }
    }
    // Reads block (an idle user agent sends nothing for hours); a write that
    // a stalled user agent does not take gives up after the time-out.
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const timeval send_limit {static_cast<time_t>(ua_reply_timeout.count()), 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

void ua_link::run()
{
    const std::string where = address_.host + ":" + std::to_string(address_.port);
    auto outage_start = std::chrono::steady_clock::now();
    std::string last_error;
    bool refusal_said = false;
    for (;;) {
        std::string error;
        unique_fd fd = connect_once(error);
        // The listener and the far end of the connection are looked up once
        // the connection is made; nothing has been sent or read yet.
        const std::string refusal = fd ? ua_owner_refusal(address_.host, address_.port, fd.get()) : "";
        if (!refusal.empty()) {
            if (!refusal_said)
                handlers_.report("refusing the user agent at " + where + ": " + refusal);
            refusal_said = true;
            fd.reset();
        }
        if (!fd) {
            if (refusal.empty() && error != last_error) {
                handlers_.report("user agent at " + where + " not reachable (" + error + "), trying again");
                last_error = error;
            }
            std::this_thread::sleep_for(reconnect_pause(std::chrono::steady_clock::now() - outage_start));
            continue;
        }
        handlers_.report("connected to the user agent at " + where);
        last_error.clear();
        refusal_said = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd_ = fd.get();
        }
        handlers_.connected();
        read_frames(fd.get());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd_ = -1;
        }
        fd.reset();
        fail_waiting();
        handlers_.report("the user agent's control socket closed");
        handlers_.closed();
        outage_start = std::chrono::steady_clock::now();
    }
}

void ua_link::read_frames(int fd)
{
    netstring_reader frames;
    char bytes[4096];
    for (;;) {
        const ssize_t got = ::recv(fd, bytes, sizeof bytes, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        frames.feed(bytes, static_cast<std::size_t>(got));
        while (std::optional<std::string> frame = frames.next())
            on_frame(*frame);
        if (frames.broken()) {
            handlers_.report("the user agent's control socket broke its framing; connecting anew");
            return;
        }
    }
}

void ua_link::on_frame(const std::string& text)
{
    json_ptr message(cJSON_Parse(text.c_str()));
    if (!message || !cJSON_IsObject(message.get()))
        return;
    if (cJSON_IsTrue(cJSON_GetObjectItem(message.get(), "event"))) {
        handlers_.event(message.get());
        return;
    }
    if (!cJSON_IsTrue(cJSON_GetObjectItem(message.get(), "response")))
        return;
    std::function<void(const ua_reply&)> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto waiting = waiting_.find(json_string_member(message.get(), "token"));
        if (waiting == waiting_.end())
            return;  // a reply that came too late for its command
        done = std::move(waiting->second);
        waiting_.erase(waiting);
    }
    ua_reply reply;
    reply.answered = true;
    reply.ok = cJSON_IsTrue(cJSON_GetObjectItem(message.get(), "ok"));
    reply.data = json_string_member(message.get(), "data");
    done(reply);
}

void ua_link::fail_waiting()
{
    std::map<std::string, std::function<void(const ua_reply&)>> failed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed.swap(waiting_);
    }
    for (auto& entry : failed)
        entry.second(ua_reply {});
}

bool ua_link::connected() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

std::string ua_link::send(const std::string& command, const std::string& params, std::function<void(const ua_reply&)> done)
{
    const std::string refusal = ua_request_refusal(command, params);
    if (!refusal.empty()) {
        handlers_.report(refusal);
        if (done)
            done(ua_reply {});
        return "";
    }
    json_ptr request(cJSON_CreateObject());
    cJSON_AddStringToObject(request.get(), "command", command.c_str());
    cJSON_AddStringToObject(request.get(), "params", params.c_str());
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string token = "sb" + std::to_string(++next_token_);
    cJSON_AddStringToObject(request.get(), "token", token.c_str());
    const printed_json_ptr text(cJSON_PrintUnformatted(request.get()));
    bool sent = false;
    if (fd_ >= 0 && text) {
        waiting_[token] = std::move(done);
        const std::string frame = netstring(text.get());
        std::size_t at = 0;
        while (at < frame.size()) {
            const ssize_t put = ::send(fd_, frame.data() + at, frame.size() - at, MSG_NOSIGNAL);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                break;
            at += static_cast<std::size_t>(put);
        }
        sent = at == frame.size();
        if (!sent) {
            // The reader meets the broken socket too and connects anew.
            ::shutdown(fd_, SHUT_RDWR);
            done = std::move(waiting_[token]);
            waiting_.erase(token);
        }
    }
    lock.unlock();
    if (!sent && done)
        done(ua_reply {});
    return sent ? token : std::string();
}

void ua_link::forget(const std::string& token)
{
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.erase(token);
}

ua_reply ua_link::call(const std::string& command, const std::string& params)
{
    auto reply = std::make_shared<std::promise<ua_reply>>();
    std::future<ua_reply> answer = reply->get_future();
    const std::string token = send(command, params, [reply](const ua_reply& r) { reply->set_value(r); });
    if (answer.wait_for(ua_reply_timeout) == std::future_status::ready)
        return answer.get();
    forget(token);
    return {};
}
