// The station's three SIP accounts as the settings describe them. An event
// belongs to account n when its address of record is "sip:<user>@<host>"
// with the account's user name and domain (or its server when the domain is
// empty). The main program matches events with these, and the simulated
// user agent registers the same accounts.
#pragma once

#include <string>

#include "common/settings_keys.h"

// A key of section "account_info_<n>" (setting::account_...).
std::string account_setting(int n, setting key);

// Section "account_info_<n>" has enable = yes.
bool account_enabled(int n);

// Section "account_info_p2p" has enable = yes: calls without an account.
bool p2p_account_enabled();

struct account_identity {
    std::string username;  // up to 31 bytes
    std::string host;      // domain, or server when the domain is empty; up to 127 bytes
};
account_identity account_identity_of(int n);

// "sip:%s@%s" and "baresip-call-status-%s-%s", each at most 191 bytes.
std::string account_address_of_record(const account_identity& id);
std::string account_status_key(const account_identity& id);
