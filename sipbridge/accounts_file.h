// The user agent's accounts file, written from the station's settings so
// that an installer configures the accounts in one place (speaker.conf).
#pragma once

#include <string>
#include <vector>

// An account as speaker.conf describes it (section account_info_<n>).
struct settings_account {
    std::string username;
    std::string domain;
    std::string server;    // the registrar and proxy, when it is not the domain
    std::string password;  // empty: no authentication
};

// The enabled accounts 1 to 3 of speaker.conf, in their order.
std::vector<settings_account> enabled_settings_accounts();

// One line of the accounts file:
//   <sip:USER@HOST>;auth_pass=PASS;outbound="sip:SERVER";regint=60;answermode=manual
// with HOST the domain (or the server when the domain is empty). A value
// that would break the line (blanks, quotes, '<', '>', ';', control
// characters, a user name that is no SIP user part) gives no line and an
// error text instead: the file never carries a parameter that the settings
// did not mean.
struct accounts_line {
    std::string line;
    std::string error;
};
accounts_line accounts_file_line(const settings_account& account);

// The whole accounts file: a line for each enabled account that can have
// one, and the registration-less P2P account when account_info_p2p is
// enabled. The refusals name the account and say why it has no line.
struct accounts_text {
    std::string text;
    std::vector<std::string> refusals;
};
accounts_text accounts_file_text();

// Writes DIR/accounts (whole or not at all: a new file of an unforeseeable
// name, synced, renamed into place) and an empty DIR/contacts when there is
// none; false, with the reason in error, when that failed. The files hold
// the SIP passwords: mode 0600, never opened through a link, and when root
// writes them they belong to the folder's owner (the user agent's user).
bool write_accounts_file(const std::string& dir, const std::string& text, std::string& error);
