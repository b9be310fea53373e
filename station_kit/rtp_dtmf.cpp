#include "station_kit/rtp_dtmf.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <thread>

#include "common/c_holders.h"

namespace {

int event_of(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit == '*')
        return 10;
    if (digit == '#')
        return 11;
    return 12 + (digit - 'A');
}

// RTP header (RFC 3550) and telephone-event payload (RFC 4733):
// event, E|R|volume, duration.
std::array<std::uint8_t, 16> packet(int payload_type, bool marker, std::uint16_t seq, std::uint32_t timestamp,
                                    int event, bool end, std::uint16_t duration)
{
    constexpr std::uint32_t ssrc = 0x0d00c0de;
    return {0x80,
            static_cast<std::uint8_t>((marker ? 0x80 : 0) | payload_type),
            static_cast<std::uint8_t>(seq >> 8),
            static_cast<std::uint8_t>(seq),
            static_cast<std::uint8_t>(timestamp >> 24),
            static_cast<std::uint8_t>(timestamp >> 16),
            static_cast<std::uint8_t>(timestamp >> 8),
            static_cast<std::uint8_t>(timestamp),
            static_cast<std::uint8_t>(ssrc >> 24),
            static_cast<std::uint8_t>(ssrc >> 16),
            static_cast<std::uint8_t>(ssrc >> 8),
            static_cast<std::uint8_t>(ssrc),
            static_cast<std::uint8_t>(event),
            static_cast<std::uint8_t>((end ? 0x80 : 0) | 10),
            static_cast<std::uint8_t>(duration >> 8),
            static_cast<std::uint8_t>(duration)};
}

}  // namespace

std::string de_bruijn_digits(int length)
{
    // The classic construction from Lyndon words (FKM algorithm).
    const int k = 10;
    std::vector<int> a(static_cast<std::size_t>(k * length), 0);
    std::string sequence;
    std::function<void(int, int)> build = [&](int t, int p) {
        if (t > length) {
            if (length % p == 0)
                for (int j = 1; j <= p; ++j)
                    sequence += static_cast<char>('0' + a[static_cast<std::size_t>(j)]);
            return;
        }
        a[static_cast<std::size_t>(t)] = a[static_cast<std::size_t>(t - p)];
        build(t + 1, p);
        for (int j = a[static_cast<std::size_t>(t - p)] + 1; j < k; ++j) {
            a[static_cast<std::size_t>(t)] = j;
            build(t + 1, t);
        }
    };
    build(1, 1);
    // The sequence is cyclic: its first digits close the last codes.
    return sequence + sequence.substr(0, static_cast<std::size_t>(length - 1));
}

std::size_t send_rtp_dtmf(const std::string& digits, const rtp_dtmf_target& target, int per_second)
{
    unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return 0;
    std::vector<sockaddr_in> to;
    for (const int port : target.ports) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, target.host.c_str(), &address.sin_addr);
        to.push_back(address);
    }
    const auto start = std::chrono::steady_clock::now();
    const auto step = std::chrono::nanoseconds(1'000'000'000 / per_second);
    std::uint16_t seq = 1;
    std::uint32_t timestamp = 8000;
    std::size_t sent = 0;
    for (const char digit : digits) {
        std::this_thread::sleep_until(start + step * static_cast<long>(sent));
        const int event = event_of(digit);
        for (const bool end : {false, true}) {
            const auto p = packet(target.payload_type, !end, seq, timestamp, event, end, end ? 320 : 160);
            for (const sockaddr_in& address : to)
                ::sendto(fd.get(), p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                         sizeof address);
            ++seq;
        }
        timestamp += 400;
        ++sent;
    }
    return sent;
}
