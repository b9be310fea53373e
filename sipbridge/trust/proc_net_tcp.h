// The kernel's table of TCP sockets as /proc/net/tcp and /proc/net/tcp6 show
// it, read for one question: which user owns the socket that listens on the
// user agent's control address. Pure: the text comes from the caller.
//
// A line of either file:
//   "   0: 0100007F:115C 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1234 ..."
// local address and port, remote address and port, state (0A: listening),
// queues, timer, retransmits, uid, timeout, inode. An address is the kernel's
// 32-bit words printed in hexadecimal as the machine stores them, the port a
// plain hexadecimal number.
#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <netinet/in.h>

inline constexpr int tcp_state_listen = 0x0A;

struct proc_tcp_socket {
    bool v6 = false;
    std::array<unsigned char, 16> address {};  // IPv4: the first 4 bytes, in network order
    int port = 0;
    std::array<unsigned char, 16> remote_address {};
    int remote_port = 0;
    int state = 0;
    uid_t uid = 0;
};

// One line of either file; nothing for the heading and for any line that is
// not exactly such a socket (short, overlong or non-hexadecimal fields).
std::optional<proc_tcp_socket> parse_proc_tcp_line(const std::string& line);

// The owners of the sockets in the files' texts that listen on the port
// where a connection to the IPv4 host would arrive: on the host itself, on
// 0.0.0.0, on :: or on the host mapped into IPv6 (::ffff:a.b.c.d). Each
// listener once, in the order of the texts.
std::vector<uid_t> listener_owners(const std::vector<std::string>& texts, const in_addr& host, int port);

// The owners of the sockets in the texts that are the far end of one
// connection: their own end on host:port, the other on peer:peer_port
// (IPv4, or mapped into IPv6). The kernel gives the socket that accepted a
// connection the user of the process that accepted it, and one still
// waiting to be accepted its listener's user, so this names whoever holds
// the connection, whatever listens by the time the table is read.
std::vector<uid_t> connection_owners(const std::vector<std::string>& texts, const in_addr& host, int port,
                                     const in_addr& peer, int peer_port);
