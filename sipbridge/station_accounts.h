// The station's accounts as the user agent sees them: the enabled ones in
// the order the station counts them when it names an account by index, and
// whether P2P calls are on. Read afresh from the settings for each decision.
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
    std::vector<station_account> enabled;  // index i is dial index i
    bool p2p = false;

    // The enabled account with this dial index, or null.
    const station_account* by_index(long index) const;
    // The enabled account with this settings number (1..3), or null.
    const station_account* by_number(int number) const;
    // The account that P2P and incoming calls go through: the first enabled
    // one, or null when none is.
    const station_account* first() const;
};

station_view read_station_view();
