// DTMF as a caller's phone sends it in the media stream: RFC 2833
// telephone events over RTP, at a steady rate, to the ports of the station's
// media range. Tests use it the way an attacker would, to send every code.
#pragma once

#include <chrono>
#include <string>
#include <vector>

// A de Bruijn sequence of the ten digits for codes of `length`: every code
// of that many digits appears exactly once in it (10^length + length - 1
// digits).
std::string de_bruijn_digits(int length);

struct rtp_dtmf_target {
    std::string host = "127.0.0.1";
    std::vector<int> ports;  // every port of the media range is tried
    int payload_type = 101;  // telephone-event as the caller's offer names it
};

// Sends each digit as one telephone event (a start packet and an end
// packet) to every port, `per_second` digits a second. Returns the number of
// digits sent; the digits are paced on a steady clock.
std::size_t send_rtp_dtmf(const std::string& digits, const rtp_dtmf_target& target, int per_second);
