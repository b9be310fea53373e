#include "sipbridge/trust/proc_net_tcp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Longer lines than the kernel writes are not read at all.
constexpr std::size_t longest_line = 512;

std::optional<std::uint32_t> hex_number(const std::string& text, std::size_t digits)
{
    if (text.size() != digits)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::optional<uid_t> decimal_uid(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<uid_t>(value);
}

// "ADDRESS:PORT" with the address as 1 (IPv4) or 4 (IPv6) words of 8
// hexadecimal digits, each stored as the machine stores a number.
bool parse_endpoint(const std::string& text, bool v6, proc_tcp_socket& into)
{
    const std::size_t words = v6 ? 4 : 1;
    const std::size_t colon = words * 8;
    if (text.size() != colon + 5 || text[colon] != ':')
        return false;
    for (std::size_t w = 0; w < words; ++w) {
        const std::optional<std::uint32_t> word = hex_number(text.substr(w * 8, 8), 8);
        if (!word)
            return false;
        std::memcpy(into.address.data() + w * 4, &*word, 4);
    }
    const std::optional<std::uint32_t> port = hex_number(text.substr(colon + 1), 4);
    if (!port)
        return false;
    into.port = static_cast<int>(*port);
    return true;
}

bool all_zero(const unsigned char* bytes, std::size_t count)
{
    return std::all_of(bytes, bytes + count, [](unsigned char b) { return b == 0; });
}

// Whether an address of the table is the IPv4 host itself, or the host
// mapped into IPv6 (::ffff:a.b.c.d).
bool same_host(bool v6, const std::array<unsigned char, 16>& address, const in_addr& host)
{
    const unsigned char* wanted = reinterpret_cast<const unsigned char*>(&host.s_addr);
    if (!v6)
        return std::equal(wanted, wanted + 4, address.data());
    static constexpr unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::equal(mapped, mapped + 12, address.data()) && std::equal(wanted, wanted + 4, address.data() + 12);
}

// Whether a connection to host:port may land on this listener.
bool listens_for(const proc_tcp_socket& socket, const in_addr& host, int port)
{
    if (socket.state != tcp_state_listen || socket.port != port)
        return false;
    // "::" takes IPv4 too unless the socket is IPv6 only, which the table
    // does not show: it counts.
    return all_zero(socket.address.data(), socket.v6 ? 16 : 4) || same_host(socket.v6, socket.address, host);
}

}  // namespace

std::optional<proc_tcp_socket> parse_proc_tcp_line(const std::string& line)
{
    if (line.size() > longest_line)
        return std::nullopt;
    std::vector<std::string> fields;
    const char* blanks = " \t\r\n\v\f";
    for (std::size_t at = line.find_first_not_of(blanks); at != std::string::npos && fields.size() < 8;
         at = line.find_first_not_of(blanks, at)) {
        const std::size_t end = std::min(line.find_first_of(blanks, at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    if (fields.size() < 8)
        return std::nullopt;
    const std::string& slot = fields[0];
    if (slot.size() < 2 || slot.back() != ':' ||
        slot.find_first_not_of("0123456789") != slot.size() - 1)
        return std::nullopt;

    proc_tcp_socket socket;
    socket.v6 = fields[1].size() == 32 + 5;
    const std::optional<std::uint32_t> state = hex_number(fields[3], 2);
    const std::optional<uid_t> uid = decimal_uid(fields[7]);
    proc_tcp_socket remote;
    if (!parse_endpoint(fields[1], socket.v6, socket) || !parse_endpoint(fields[2], socket.v6, remote) || !state ||
        !uid)
        return std::nullopt;
    socket.remote_address = remote.address;
    socket.remote_port = remote.port;
    socket.state = static_cast<int>(*state);
    socket.uid = *uid;
    return socket;
}

namespace {

// The owners of the sockets of the texts that the test picks, in order.
template <typename Test>
std::vector<uid_t> owners_of(const std::vector<std::string>& texts, const Test& picked)
{
    std::vector<uid_t> owners;
    for (const std::string& text : texts) {
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            const std::optional<proc_tcp_socket> socket = parse_proc_tcp_line(text.substr(at, end - at));
            if (socket && picked(*socket))
                owners.push_back(socket->uid);
            at = end + 1;
        }
    }
    return owners;
}

}  // namespace

std::vector<uid_t> listener_owners(const std::vector<std::string>& texts, const in_addr& host, int port)
{
    return owners_of(texts, [&](const proc_tcp_socket& socket) { return listens_for(socket, host, port); });
}

std::vector<uid_t> connection_owners(const std::vector<std::string>& texts, const in_addr& host, int port,
                                     const in_addr& peer, int peer_port)
{
    return owners_of(texts, [&](const proc_tcp_socket& socket) {
        return socket.state != tcp_state_listen && socket.port == port && socket.remote_port == peer_port &&
               same_host(socket.v6, socket.address, host) && same_host(socket.v6, socket.remote_address, peer);
    });
}
