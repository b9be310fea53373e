// A real SIP stack for a station under a root: SIPp as the registrar and the
// far ends (station/sip/far_end.xml), baresip as the station's user agent
// (headless, loopback only) and sipbridge between baresip and the station's
// Redis. Each stack takes a block of loopback ports that nothing uses, below
// the kernel's ephemeral range, so stacks of tests that run in parallel do
// not collide. Everything started is ended by pid.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "station_kit/programs.h"
#include "station_kit/root.h"

std::string sipbridge_binary();

// One SIP message of SIPp's message trace (-trace_msg): whether the far end
// received or sent it, and its first line (request or status line).
struct traced_message {
    bool received = false;
    std::string first_line;
};

// Takes the trace's lines as they come (in any number of pieces) and hands
// out each message once its first line has arrived.
class sip_trace_reader {
public:
    std::vector<traced_message> feed(const std::vector<std::string>& lines);

private:
    bool in_header_ = false;
    bool received_ = false;
};

// The first of `count` loopback ports that nothing uses at this moment, for
// UDP and TCP alike.
int free_port_block(int count);

class sip_stack {
public:
    explicit sip_stack(const kit_root& root);

    // The station's account 1 as registered at the far end: user 2000 with
    // the password "secret", domain and server 127.0.0.1:<registrar port>.
    std::string account_settings() const;
    // The section [sip] that has the user agent listen on host (127.0.0.1,
    // or "[::1]") at the stack's SIP port; account_settings() includes it
    // for 127.0.0.1.
    std::string listen_settings(const std::string& host = "127.0.0.1") const;
    // The user agent's SIP port (UDP and TCP; TLS takes the port above).
    int sip_port() const { return sip_port_; }
    std::string aor() const;
    // A number's address at the far end, as the user agent dials it.
    std::string far_uri(const std::string& number) const;

    // SIPp as registrar and far ends; true once its port is bound.
    bool start_far_end();
    // baresip with its configuration and accounts written by sipbridge
    // --write-config from the settings (write them first) and the template
    // station/sip/config.in; true once its control socket accepts. The two
    // steps apart, for a test that does what the units do between them
    // (the packet filter, the TLS relay).
    bool start_user_agent();
    bool write_user_agent_config();
    bool run_user_agent();
    // baresip runs as this uid (its folder given to it first) instead of
    // this process's user: the packet filter then tells its sockets apart.
    void run_user_agent_as(uid_t uid) { user_agent_uid_ = uid; }
    // The uid the user agent runs as, as STATION_UA_USER takes it.
    std::string user_agent_user() const;
    // sipbridge, taking the control socket of this process's user (as
    // baresip here runs as it); env may name another STATION_UA_USER.
    bool start_bridge(std::vector<std::string> args = {"debug"}, const std::vector<std::string>& env = {});
    // All three.
    bool start();

    // A visitor's phone calling the station's account (station/sip/caller.xml):
    // it waits for the answer, sends the door code 1234 and hangs up. Another
    // scenario of station/sip may be named instead.
    std::unique_ptr<kit_program> call_station(const std::string& scenario = "caller.xml") const;

    // baresip's control port (ctrl_tcp_listen 127.0.0.1:PORT).
    int control_port() const { return control_port_; }

    // The ports of the station's media range (baresip's rtp_ports).
    std::vector<int> media_ports() const;

    // The user agent's folder (its config and accounts), as the bridge's
    // --write-accounts and filter commands take it.
    std::string user_agent_dir() const;

    // A stranger calling the station's account straight from 127.0.0.2
    // (station/sip/stranger.xml): From and Contact name the registrar, and
    // so does the Via when forged_via, else the stranger's own address (the
    // user agent answers to the Via). It waits 2 s for the ringing, cancels
    // the call when the station rings and fails (status 1) when it hears
    // nothing.
    // Every run comes from the same port.
    std::unique_ptr<kit_program> stranger_calls(bool forged_via) const;
    // The stranger's SIP messages of its last run (SIPp's -trace_msg).
    std::string stranger_messages() const;

    kit_program* far_end() { return far_end_.get(); }
    kit_program* user_agent() { return user_agent_.get(); }
    kit_program* bridge() { return bridge_.get(); }
    void stop_user_agent(int signal);

    // The SIP messages that the far end sent and received so far.
    std::string far_end_messages() const;
    std::string far_end_trace_path() const;
    // The request lines of the messages the far end received ("INVITE
    // sip:1001@127.0.0.1:5070 SIP/2.0", ...), in order.
    std::vector<std::string> far_end_requests() const;

    std::string report() const;

private:
    const kit_root& root_;
    int registrar_port_ = 0;
    int media_port_ = 0;
    int sip_port_ = 0;
    int control_port_ = 0;
    int caller_port_ = 0;
    int caller_media_port_ = 0;
    int rtp_first_ = 0;
    std::optional<uid_t> user_agent_uid_;
    std::string config_errors_;  // what --write-config said when it refused
    std::unique_ptr<kit_program> far_end_;
    std::unique_ptr<kit_program> user_agent_;
    std::unique_ptr<kit_program> bridge_;
};
