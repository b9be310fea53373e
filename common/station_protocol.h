// The wire between the station's programs: the Redis lists and channels
// they meet on, and the exact text of each message. Every program names
// them through this file, and both ends of a message build and read it
// here, so a renamed list or a changed command cannot leave one end behind.
//
// Lists (LPUSH by the producers, taken oldest first by one consumer):
//
//   control-channel (orvanel -> the SIP user agent: sipbridge, or uasim)
//     {"cmd":"dial","data":"2001 0"}           number, blank, account index
//     {"cmd":"dial","data":"192.168.1.30"}     the P2P line: no index
//     {"cmd":"accept","data":""}               answer the call that rings
//     {"cmd":"hangup","data":""}
//     {"cmd":"hangupall","data":""}
//     {"cmd":"play","data":"/userdata/alarm.mp3:2"}   path, colon, repeat count
//   output-channel (orvanel -> outputd, through its output-processing)
//     {"id":"gpio135","type":"On"}             the relay: relay_ctrl:type when on
//     {"id":"gpio135","type":"Off"}
//   writelog-channel (every program -> orvanel's write_opnlog, through
//   writelog-processing): an entry "category,event,detail"
//     BUTTON,KEY_GPIO140 Release,
//   cdr-channel (orvanel's event thread -> its write_cdr, through
//   cdr-processing): one line of cdr.csv
//     2026-12-09,10:31:05,10:31:40,sip:201@pbx.example.com,2001,30,out,ANSWERED,Connection reset by peer [104]
//   device-state (other software -> orvanel's key self-test)
//     {"type":"key1","action":"TestOn"}        key1, key2 or atKey; TestOn or TestOff
//   check-result-channel (orvanel's key self-test -> other software)
//     {"name": "key1", "result": "0"}          a press of the key under test
//
// Channels (PUBLISH, every subscriber hears it):
//
//   session-channel (the SIP user agent -> orvanel's Baresip_thread)
//     {"event":true,"type":"CALL_INCOMING","class":"call","accountaor":"sip:201@pbx.example.com",
//      "direction":"incoming","peeruri":"sip:2001@pbx.example.com","id":"c1","param":"sip:2001@pbx.example.com"}
//         CALL_OUTGOING and CALL_ESTABLISHED alike; "direction" says whose call
//     {"event":true,"type":"CALL_CLOSED",...,"param":"486 Busy Here"}     the close reason
//     {"event":true,"type":"CALL_DTMF_START",...,"param":"5"}             the digit
//     {"event":true,"type":"REGISTER_OK","class":"init register","accountaor":"sip:201@pbx.example.com",
//      "param":"200 OK"}         "init register" the first time since the user agent started
//     {"event":true,"type":"REGISTER_FAIL","class":"register","accountaor":"sip:201@pbx.example.com",
//      "param":"401 Unauthorized"}                                        also UNREGISTERING
//     {"event":true,"type":"EXIT","class":"application"}
//     {"event":false,"data":"\n--- User Agents (1) ---\n0 - sip:201@pbx.example.com OK\n"}
//         the user agent's listing of its accounts
//     The members are the user agent's own names (event_field below).
//     uasim's events leave out "event" and "id" (its listing has "event"):
//     orvanel reads "event" only to tell the listing, and never "id".
//   volume-event-channel (orvanel -> the sound player)
//     {"name": "SIP", "action": "on"}          around a key's beep; "off" after it
//
// Beside them the user agent keeps one key per enabled account,
// "baresip-call-status-<username>-<host>", holding {"status":"idle"},
// "ringing" (outgoing), "ring" (incoming) or "answer".
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "common/station_names.h"

// Lists (LPUSH by the producer, taken oldest first by one consumer).
inline constexpr const char* control_list = STATION_CONTROL_LIST;        // orvanel -> the user agent
inline constexpr const char* output_list = STATION_OUTPUT_LIST;          // orvanel -> outputd
inline constexpr const char* output_processing = STATION_OUTPUT_PROCESSING;
inline constexpr const char* writelog_list = STATION_WRITELOG_LIST;      // every program -> orvanel
inline constexpr const char* writelog_processing = STATION_WRITELOG_PROCESSING;
inline constexpr const char* cdr_list = STATION_CDR_LIST;                // orvanel -> its own write_cdr
inline constexpr const char* cdr_processing = STATION_CDR_PROCESSING;
inline constexpr const char* check_result_list = STATION_CHECK_RESULT_LIST;  // key self-test results
inline constexpr const char* device_state_list = STATION_DEVICE_STATE_LIST;  // key self-test requests

// Channels (PUBLISH, every subscriber hears it).
inline constexpr const char* session_channel = STATION_SESSION_CHANNEL;            // the user agent -> orvanel
inline constexpr const char* volume_event_channel = STATION_VOLUME_EVENT_CHANNEL;  // orvanel -> the player

// Keys. The values of an account's call-status key (see above), as the user
// agent writes them: idle, an outgoing call ringing, an incoming call
// ringing, a call in progress.
inline constexpr const char* call_status_idle = R"({"status":"idle"})";
inline constexpr const char* call_status_ringing = R"({"status":"ringing"})";
inline constexpr const char* call_status_ring = R"({"status":"ring"})";
inline constexpr const char* call_status_answer = R"({"status":"answer"})";
// The door code's lockout, kept by orvanel: "<seconds>", expiring when the
// lockout ends, and "<locked calls> <lockouts>" since the last match.
inline constexpr const char* door_lockout_key = STATION_DOOR_LOCKOUT_KEY;
inline constexpr const char* door_guard_key = STATION_DOOR_GUARD_KEY;
// The site log's sequence numbers, kept by orvanel's record writers: the
// last number given, and each writer's "<number> <element>" for the element
// it has in flight, which leaves together with the element.
inline constexpr const char* site_sequence_key = STATION_SITE_SEQUENCE_KEY;
inline constexpr const char* writelog_sequence_key = STATION_WRITELOG_SEQUENCE_KEY;
inline constexpr const char* cdr_sequence_key = STATION_CDR_SEQUENCE_KEY;

// The site log's socket (device path): orvanel sends each line it writes to
// a record file there as one datagram; the station's own rsyslogd instance
// (station-sitelog) owns it while the site names a log server.
inline constexpr const char* site_log_socket = "/run/station-sitelog/log.sock";

// One push or publication as a command format with its one text argument,
// for the senders that take a format and one text (orvanel's pool,
// outputd's command link).
inline constexpr const char* control_push = "LPUSH " STATION_CONTROL_LIST " %s";
inline constexpr const char* output_push = "LPUSH " STATION_OUTPUT_LIST " %s";
inline constexpr const char* writelog_push = "LPUSH " STATION_WRITELOG_LIST " %s";
inline constexpr const char* cdr_push = "LPUSH " STATION_CDR_LIST " %s";
inline constexpr const char* check_result_push = "LPUSH " STATION_CHECK_RESULT_LIST " %s";
inline constexpr const char* volume_event_publish = "PUBLISH " STATION_VOLUME_EVENT_CHANNEL " %s";

// ---- control-channel ----

// The fixed commands of the SIP user agent.
inline constexpr const char* accept_command = R"({"cmd":"accept","data":""})";
inline constexpr const char* hangup_command = R"({"cmd":"hangup","data":""})";
inline constexpr const char* hangupall_command = R"({"cmd":"hangupall","data":""})";

// {"cmd":"dial","data":"<number> <index>"} and the P2P form without index,
// the number escaped for JSON.
std::string dial_command_text(const std::string& number, int account_index);
std::string p2p_dial_command_text(const std::string& number);

// {"cmd":"play","data":"<path>:<count>"}, the path escaped for JSON.
std::string play_command_text(const std::string& path, int count);

// Accounts 1 to 3 are the settings' account_info_1 to _3. A dial command
// names its account by index: the account's position among the enabled
// accounts, counted from 0 (with account 2 off, account 3 has index 1).
// Entry n of the flags says whether account n is enabled; entry 0 is not
// used. orvanel numbers its dial commands with this, and the user agent
// finds the account of an index with it.
using enabled_account_flags = std::array<bool, 4>;
// The dial index of account n; -1 when it is not enabled or not 1 to 3.
int account_index(const enabled_account_flags& enabled, int account);

// Longest number or address taken; longer ones are refused rather than cut,
// so that the far end is never a different number.
inline constexpr std::size_t longest_number = 127;

enum class command_kind { dial, accept, hangup, hangupall, play, malformed, unknown };

// A command taken apart for a user agent: the bridge to a real SIP user
// agent and the stand-in one read them alike. Parsing decides only whether
// a text is well formed; whether it fits the call in progress is the user
// agent's business.
struct ua_command {
    command_kind kind = command_kind::malformed;
    std::string name;       // the "cmd" member as given
    std::string number;     // dial: the number or the P2P address
    bool p2p = false;       // dial: no account index given
    long account_index = -1;  // dial with an index
    std::string sound;      // play: the path
    std::string count;      // play: the repeat count
    std::string problem;    // malformed, unknown: why, for the console
    std::string text;       // malformed, unknown: the text as received
};

ua_command parse_command(const std::string& text);

// A number or address the user agent can put into a SIP URI: not empty, at
// most longest_number bytes, no blanks or control characters.
bool dialable(const std::string& number);

// ---- output-channel ----

inline constexpr const char* relay_output = "gpio135";    // the relay, the door opener
inline constexpr const char* gpio130_output = "gpio130";  // a state that is only recorded
inline constexpr const char* output_off_type = "Off";

// {"id":"<id>","type":"<type>"} when on, else {"id":"<id>","type":"Off"};
// texts escaped for JSON.
std::string relay_request_text(const std::string& id, bool on, const std::string& type);

struct relay_request {
    std::string id;
    std::string type;
};
// Nothing when the text is no JSON; an id and a type, both empty unless the
// request has both as texts, otherwise.
std::optional<relay_request> parse_relay_request(const std::string& text);

// ---- session-channel ----

// The members of an event, named as the SIP user agent names them.
namespace event_field {
inline constexpr const char* event = "event";          // true; false on the listing
inline constexpr const char* type = "type";            // CALL_INCOMING, REGISTER_OK, ...
inline constexpr const char* event_class = "class";    // "call", "init register", ...
inline constexpr const char* account = "accountaor";   // the station's address of record
inline constexpr const char* direction = "direction";  // "incoming" or "outgoing"
inline constexpr const char* peer = "peeruri";         // the far end
inline constexpr const char* call_id = "id";           // the user agent's name of the call
inline constexpr const char* param = "param";          // reason, digit or registrar's answer
inline constexpr const char* data = "data";            // the listing's text
}  // namespace event_field
