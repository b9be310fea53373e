// The SIP side as the user agent will carry it: each enabled account's line
// of its accounts file (transport, auth user, server, registration interval,
// media encryption; never the password), or the settings that keep the
// account out of it; the account's last registration entry in the operation
// log; and the listen address of [sip] against the board's addresses.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "check/findings.h"
#include "sipbridge/config/ua_config.h"

// The last registration entry of an address of record in an operation-log
// text: registered or failed, with its time and the failure's reason.
struct registration_entry {
    bool registered = false;
    std::string time;    // the line's fields before the category
    std::string reason;  // the failure's reason ("408 Request Timeout")
    // The last failure before a registration that followed it: its time
    // and reason (empty when there was none).
    std::string failed_time;
    std::string failed_reason;
};
std::optional<registration_entry> last_registration(const std::string& oplog_text, const std::string& aor);

// The listen address of [sip] (empty: eth0's) against the board's addresses.
finding check_listen_address(const std::string& listen, const board_addresses& board);

findings check_sip();
