// What each event of the user agent means for the station: the texts to
// publish on session-channel, in the station's words, and the accounts whose
// call-status key changes. Pure: the bridge's threads feed it under their own
// lock and carry out what it returns.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <cjson/cJSON.h>

#include "sipbridge/link/bridge_rules.h"
#include "sipbridge/link/call_book.h"

// The close reason of the calls a user agent took with it when it ended.
inline constexpr const char* user_agent_gone_reason = "User agent gone";

struct station_update {
    std::vector<std::string> events;  // to publish, in order
    // Call-status keys to write (by address of record): a status, or none
    // for an account that is lost.
    std::vector<std::pair<std::string, std::optional<account_call_status>>> statuses;
    // Every key of the station's accounts is to be written afresh from
    // registered() and the calls: the user agent was met anew or is gone.
    bool all_statuses = false;
    // Lines for the bridge to say, in the station's words.
    std::vector<std::string> notes;
};

class bridge_state {
public:
    station_update on_event(const cJSON* event);
    // The control socket is connected and the user agent listed its
    // accounts: registrations that happened before are reported now.
    station_update on_connected(const std::string& listing);
    // The user agent ended, or its socket closed: reported once, after its
    // calls, each closed with the reason user_agent_gone_reason.
    station_update on_user_agent_gone();

    const call_book& calls() const { return calls_; }
    const std::set<std::string>& registered() const { return registered_; }

private:
    station_update on_call_event(const std::string& type, const cJSON* event);
    station_update on_registration_event(const std::string& type, const cJSON* event);

    call_book calls_;
    registration_record first_registration_;
    std::set<std::string> registered_;
    bool gone_reported_ = true;  // nothing to report before the first connection
};

// The station's event text: the members the station reads, copied from the
// user agent's event where it has them as texts.
std::string station_event_text(const char* type, const cJSON* source);

// The listing as the station expects it: {"event":false,"data":LISTING}.
std::string station_listing_text(const std::string& listing);
