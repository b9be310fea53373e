// The site log: each record writer hands every line it appended to its file
// (site_message.h) to the station's own log instance, an rsyslogd that
// forwards it to the site's log server over TLS and keeps it on flash while
// the server cannot be reached. The instance listens on a datagram socket;
// when the site names no server it does not run, the socket is not there,
// and nothing is sent.
//
// Each line gets the next number of the station's series, kept in Redis
// (synced with every write), so it survives restarts and power cuts. A
// writer gives the element it has in flight its number once and keeps it in
// a key of its own until the element leaves the processing list, in the same
// step: a line written again after a kill goes out again under the same
// number, which the server can tell for a copy, and a line that never went
// out leaves a gap in the series that the server sees.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/c_holders.h"
#include "common/station_protocol.h"
#include "orvanel/records/site_message.h"

struct redisContext;

// How long a line waits for an instance that is there but does not take it
// (restarting, or its queue full) before it goes without, leaving a gap.
inline constexpr std::chrono::seconds site_send_patience{5};

class site_log {
public:
    // `mark`: the writer's key for the number of its element in flight.
    explicit site_log(const char* mark) : mark_(mark) {}

    // The element's number: the one it got before, when it is still in
    // flight, else the next one of the series. Nothing when the connection
    // failed (the caller tries again once it is made anew); 0 when Redis
    // answered with an error, and the line goes without a number.
    std::optional<std::int64_t> number(redisContext* c, const std::string& element);

    // Hands the message of an entry or a call record line to the instance.
    // False when it did not take it: no instance runs, or it refused the
    // message for site_send_patience.
    bool send_entry(const std::string& entry, std::int64_t number);
    bool send_record(const std::string& line, std::int64_t number);

private:
    bool send(const std::string& message);
    site_origin origin();
    site_stamp stamp(std::int64_t number) const;

    const char* mark_;
    unique_fd socket_;
    std::string mac_;
    std::chrono::steady_clock::time_point mac_looked_up_{};
    bool mac_tried_ = false;
    // The last message went to the instance: one that is gone a moment
    // later is restarting, and is waited for.
    bool reached_ = false;
    // A run of messages that did not go has been reported.
    bool failing_ = false;
};
