// The site's copy of a record: each operation-log entry and each call record
// also goes to the site's log server as one RFC 5424 syslog message, built
// here from the line as it went into its file. The server sorts messages by
// MSGID (what kind of event), reads the fields from the structured data, and
// sees from the sequence number whether one is missing.
//
//   <133>1 2026-12-10T05:04:28.123Z door-3 orvanel 812 door
//     [meta sequenceId="42" sysUpTime="123456"]
//     [station@32473 name="door-3" mac="02:11:22:33:44:55"]
//     [entry@32473 category="FUNCTION" event="RELAY Request" detail="DTMF code"]
//     FUNCTION,RELAY Request,DTMF code
//
// (one line). A call record has its nine fields in [record@32473 ...]
// instead. Parameter values are the file's fields, with the file's rules
// already applied (one line, valid UTF-8, a cell that a spreadsheet would
// take for a formula disarmed), and '"', '\' and ']' escaped with a
// backslash as RFC 5424 requires.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The private enterprise number of the structured data's own SD-IDs. 32473
// is the number RFC 5612 keeps for documentation; a maker with a number of
// its own puts it here.
inline constexpr const char* site_enterprise = "32473";

// The largest sequence number; the next one after it is 1 again (RFC 5424,
// the meta SD-ID).
inline constexpr std::int64_t site_sequence_max = 2147483647;

// The station as the site knows it.
struct site_origin {
    std::string name;  // [site] name, or the board's host name
    std::string mac;   // eth0's, "02:11:22:33:44:55"; empty when unknown
    long pid = 0;
};

// When and in which place of the station's series a message was made.
struct site_stamp {
    std::int64_t sequence = 0;   // 0: none to give (the message has none)
    std::int64_t unix_ms = 0;    // wall clock, milliseconds since 1970 UTC
    std::int64_t uptime_cs = 0;  // since boot, hundredths of a second
};

// The kind of an operation-log entry, from its category and event:
// "key", "tamper", "call", "sip", "door", "relay" or "other".
std::string site_entry_kind(std::string_view entry);
// Its severity (RFC 5424: 4 warning, 5 notice, 6 informational).
int site_entry_severity(std::string_view entry);

// The message of an entry ("category,event,detail", as written to the
// file) and of a call record's line.
std::string site_entry_message(std::string_view entry, const site_origin& origin, const site_stamp& stamp);
std::string site_record_message(std::string_view line, const site_origin& origin, const site_stamp& stamp);

// A PARAM-VALUE: '"', '\' and ']' escaped.
std::string site_param_value(std::string_view text);
// A header field (HOSTNAME): printable ASCII, at most `size` bytes; any
// other byte becomes '_', and an empty text the NILVALUE "-".
std::string site_header_field(std::string_view text, std::size_t size);
// "2026-12-10T05:04:28.123Z".
std::string site_timestamp(std::int64_t unix_ms);
// "02:11:22:33:44:55" from a MAC address as the kernel gives it (with a
// line end) or as twelve digits; empty for any other text.
std::string site_mac_text(std::string_view text);
