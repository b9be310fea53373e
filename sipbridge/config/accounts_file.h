// The user agent's accounts file, written from the station's settings so
// that an installer configures the accounts in one place (speaker.conf).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sipbridge/config/ua_settings.h"

// One line of the accounts file, in the words of baresip 1.0.0's account
// parser:
//   <sip:USER@HOST>;answermode=manual;regint=N;auth_user=A;mediaenc=M;
//   outbound="sip:PROXY;transport=T";auth_pass="PASS"
// HOST is the domain (or the server when the domain is empty); PROXY is the
// account's outbound setting, else the server when it differs from the
// domain, else (for tcp and tls) HOST itself: the transport parameter goes
// there, left out for udp, and never into the address of record. The
// password comes last and quoted, so that any printable character can stand
// in it. A value that would change what the line says (blanks, quotes, a
// ';' that begins another parameter, control characters, a user name that
// is no SIP user part) gives no line and refusals instead: the file never
// carries a parameter that the settings did not mean.
struct accounts_line {
    std::string line;
    std::vector<setting_refusal> refusals;
    std::vector<std::string> notes;  // values used otherwise than written (a regint raised to its floor)
};
accounts_line accounts_file_line(const settings_account& account);

// A proxy may be written as a SIP address ("sip:edge.example:5061"): its
// host and port, as the accounts line and the packet filter want them.
std::string proxy_host(const std::string& value);

// The proxy of the account's outbound parameter, as the settings give it:
// outbound, else the server when it differs from the domain; empty when
// requests go to the domain itself.
std::string account_proxy(const settings_account& account);

// The longest line baresip 1.0.0 reads from its accounts file (it copies each
// into a buffer of 512 bytes).
inline constexpr std::size_t accounts_line_max = 511;

// The shortest registration interval the station asks for, in seconds.
inline constexpr int regint_floor = 10;

// The quoted form of a parameter value that baresip's parser gives back
// exactly (its quote-aware scan, then the outer quotes stripped), or nothing
// when no form carries it: a value with a control character, or with a
// quote that leaves a blank or ';' outside quotes.
std::optional<std::string> quoted_parameter(const std::string& value);

// The registration-less account that P2P calls go out on, as the accounts
// file names it.
inline constexpr const char* p2p_account_aor = "sip:p2p@127.0.0.1";

// The whole accounts file: a line for each enabled account that can have
// one, and the registration-less P2P account when account_info_p2p is
// enabled. The refusals name the setting and say why its account has no
// line.
struct accounts_text {
    std::string text;
    std::vector<setting_refusal> refusals;
    std::vector<std::string> notes;
};
accounts_text accounts_file_text(const std::vector<settings_account>& accounts);

// The line of the enabled account with this address of record ("sip:%s@%s"
// as the station builds it), or nothing when no enabled account has it or
// its line is refused.
std::optional<std::string> accounts_line_of(const std::string& aor);

// Whether an enabled account asks for SRTP or TLS, which the user agent's
// configuration must provide for.
bool accounts_need_srtp(const std::vector<settings_account>& accounts);
bool accounts_need_tls(const std::vector<settings_account>& accounts);
