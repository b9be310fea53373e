#include "orvanel/records/site_log.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

#include "common/config.h"
#include "common/file_text.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "orvanel/records/message_log.h"

namespace {

// Gives the element its number in one step with taking the number from the
// series, so that a kill in between cannot lose one. The mark holds
// "<number> <element>": a mark of another element (left by hand, say) is not
// taken for this one's.
constexpr const char* number_script = R"(
local mark = redis.call('GET', KEYS[1])
if mark then
    local blank = string.find(mark, ' ', 1, true)
    if blank and string.sub(mark, blank + 1) == ARGV[1] then
        return tonumber(string.sub(mark, 1, blank - 1))
    end
end
local n = redis.call('INCR', KEYS[2])
if n > tonumber(ARGV[2]) then
    n = 1
    redis.call('SET', KEYS[2], n)
end
redis.call('SET', KEYS[1], n .. ' ' .. ARGV[1])
return n
)";

// eth0's MAC address, as the kernel gives it ("02:11:22:33:44:55\n").
constexpr const char* eth0_address_file = "/sys/class/net/eth0/address";

// How often a MAC address that could not be read is read again.
constexpr std::chrono::seconds mac_retry{60};

constexpr std::chrono::milliseconds send_retry{100};

std::int64_t clock_ms(clockid_t clock, std::int64_t per_second)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * per_second + now.tv_nsec / (1000000000 / per_second);
}

// Errors after which the instance is there but did not take the message
// yet: it is restarting, or its socket's queue is full.
bool worth_waiting(int error, bool reached_before)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS || error == ECONNREFUSED ||
           (error == ENOENT && reached_before);
}

}  // namespace

std::optional<std::int64_t> site_log::number(redisContext* c, const std::string& element)
{
    const reply_ptr reply = redis_command(c, "EVAL %s 2 %s %s %b %lld", number_script, mark_, site_sequence_key,
                                          element.data(), element.size(),
                                          static_cast<long long>(site_sequence_max));
    if (!reply)
        return std::nullopt;
    if (reply->type == REDIS_REPLY_INTEGER && reply->integer > 0)
        return reply->integer;
    log_print(LEVEL_ERROR, "site log: Redis gave no sequence number (%s): the line goes without one\n",
              reply->type == REDIS_REPLY_ERROR ? reply->str : "no number");
    return 0;
}

bool site_log::send_entry(const std::string& entry, std::int64_t number)
{
    return send(site_entry_message(entry, origin(), stamp(number)));
}

bool site_log::send_record(const std::string& line, std::int64_t number)
{
    return send(site_record_message(line, origin(), stamp(number)));
}

site_origin site_log::origin()
{
    const auto now = std::chrono::steady_clock::now();
    if (mac_.empty() && (!mac_tried_ || now - mac_looked_up_ >= mac_retry)) {
        mac_tried_ = true;
        mac_looked_up_ = now;
        std::string error;
        const std::optional<std::string> text = read_file_text(station_path(eth0_address_file), 64, error);
        if (text)
            mac_ = site_mac_text(*text);
    }
    site_origin o;
    // Read afresh, as every setting: a renamed station says so from its
    // next line on.
    o.name = setting_value(setting::site_name);
    if (o.name.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) == 0)
            o.name = host;
    }
    o.mac = mac_;
    o.pid = static_cast<long>(getpid());
    return o;
}

site_stamp site_log::stamp(std::int64_t number) const
{
    site_stamp s;
    s.sequence = number;
    s.unix_ms = clock_ms(CLOCK_REALTIME, 1000);
    s.uptime_cs = clock_ms(CLOCK_BOOTTIME, 100);
    return s;
}

bool site_log::send(const std::string& message)
{
    const std::string path = station_path(site_log_socket);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    if (path.size() >= sizeof to.sun_path) {
        if (!failing_)
            log_print(LEVEL_ERROR, "site log: the socket's path is too long: %s\n", path.c_str());
        failing_ = true;
        return false;
    }
    std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
    if (!socket_)
        socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // The first line of a run waits for the instance; while it stays away
    // the lines after it try once, so the records are not held up.
    const auto deadline = std::chrono::steady_clock::now() +
                          (failing_ ? std::chrono::steady_clock::duration::zero() : site_send_patience);
    int error = 0;
    for (;;) {
        if (socket_ && ::sendto(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) {
            if (failing_)
                log_print(LEVEL_NOTICE, "site log: the station's log instance takes the lines again\n");
            failing_ = false;
            reached_ = true;
            return true;
        }
        error = socket_ ? errno : EMFILE;
        if (!worth_waiting(error, reached_) || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(send_retry);
    }
    // No instance at all is the station without a site log server: nothing
    // to say. An instance that was there and went, or refused, is.
    if (error == ENOENT && !reached_)
        return false;
    if (!failing_)
        log_print(LEVEL_ERROR, "site log: %s does not take the line (%s): the site's server will miss it\n",
                  path.c_str(), std::strerror(error));
    failing_ = true;
    reached_ = false;
    return false;
}
