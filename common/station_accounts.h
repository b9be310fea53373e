// The station's accounts as the SIP user agent sees them: the enabled ones
// with the dial index each has in the station's commands, and whether P2P
// calls are on. The bridge and the stand-in user agent read it alike, afresh
// from the settings for each decision.
#pragma once

#include <string>
#include <vector>

struct station_account {
    int number = 0;          // 1..3, the settings section account_info_<number>
    std::string host;        // domain, or server when the domain is empty
    std::string aor;         // "sip:<username>@<host>"
    std::string status_key;  // "baresip-call-status-<username>-<host>"
};

struct station_view {
    std::vector<station_account> enabled;  // in the order of their numbers
    bool p2p = false;

    // The enabled account that a dial command names with this index
    // (account_index of common/station_protocol.h), or null.
    const station_account* by_index(long index) const;
    // The enabled account with this settings number (1..3), or null.
    const station_account* by_number(int number) const;
    // The account that P2P and incoming calls go through: the first enabled
    // one, or null when none is.
    const station_account* first() const;
};

station_view read_station_view();
