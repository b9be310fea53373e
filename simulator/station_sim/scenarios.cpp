#include "simulator/station_sim/scenarios.h"

#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "simulator/station_sim/simulated_station.h"

std::atomic<bool> stop_requested{false};

namespace {

using namespace std::chrono_literals;

// A pause in the scenario, so each step can be seen before the next one.
void pause_for(std::chrono::milliseconds wait)
{
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!stop_requested && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(50ms);
}

const char* help_text =
    "Commands:\n"
    "  press N        press and release call key N (1 or 2)\n"
    "  hold N S       hold call key N for S seconds (key 1 for 5 s or more speaks the address)\n"
    "  tamper         open the tamper switch (closing it first)\n"
    "  call-in NUM    an incoming call from NUM\n"
    "  dtmf DIGITS    the far end sends DTMF digits\n"
    "  far-hangup     the far end hangs up\n"
    "  answer         the far end answers the ringing outgoing call\n"
    "  wait S         let S seconds pass (for scripted input)\n"
    "  status         the LEDs, the relay line and the call status\n"
    "  quit           stop the station\n";

bool handle_command(sim_station& station, const std::string& line, std::ostream& out)
{
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command.empty())
        return true;
    if (command == "quit" || command == "exit")
        return false;
    if (command == "help") {
        out << help_text;
        return true;
    }
    if (command == "status")
        return true;  // the status line follows every command
    sim_view& view = station.view();
    if (command == "wait") {
        double seconds = 0;
        words >> seconds;
        pause_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
        return true;
    }
    if (command == "press" || command == "hold") {
        int key = 0;
        double seconds = 0;
        words >> key >> seconds;
        if (key != 1 && key != 2) {
            out << "which key? press 1 or press 2\n";
            return true;
        }
        view.note(command == "press" ? "press key " + std::to_string(key)
                                     : "hold key " + std::to_string(key) + " for " + std::to_string(seconds) + " s");
        if (!(command == "press" ? station.tap(key) : station.hold(key, seconds)))
            out << "the station did not see the press\n";
    } else if (command == "tamper") {
        view.note("open the tamper switch");
        station.close_tamper();
        station.open_tamper();
    } else if (command == "call-in" || command == "dtmf" || command == "far-hangup" || command == "answer") {
        view.note(line);
        station.far_side(line);
    } else {
        out << "unknown command: " << command << "\n" << help_text;
        return true;
    }
    return true;
}

}  // namespace

bool run_demo(sim_station& station, std::ostream& out)
{
    sim_view& v = station.view();
    bool ok = true;
    auto expect = [&](bool happened, const std::string& what) {
        if (!happened && !stop_requested) {
            out << "!! did not happen: " << what << "\n";
            ok = false;
        }
        return happened;
    };

    v.note("the SIP user agent registers the station's account");
    expect(v.wait_entry("SIP STATE,SIP REGISTERED", 10s), "registration");
    pause_for(2000ms);

    // With real SIP the far ends act by their SIPp scenarios: the first
    // number rings unanswered, the next answers, sends the door code and
    // hangs up by itself, and the visitor's phone does the same.
    const bool sip = station.real_sip();
    const std::string first = station.key1_number(1);
    const std::string next = station.key1_number(2);
    v.note("a visitor presses key 1: it calls " + first);
    expect(station.tap(1), "press of key 1");
    expect(v.wait_entry("FUNCTION,KEY1 Call,key_gpio140 " + first, 5s), "dial of " + first);
    expect(v.wait_entry("SIP STATE,OUTGOING CALL", 5s), "outgoing call");
    v.note("nobody answers " + first + ": the station waits 6 s, hangs up and dials the next number");
    expect(v.wait_entry("FUNCTION,KEY1 Call," + next, 15s), "dial of the next number " + next);
    expect(v.wait_entry("SIP STATE,CALL ESTABLISHED,outgoing", 10s), next + " answers");
    expect(v.wait_relay(1, 3s), "the relay switching on for the answered call");

    if (sip) {
        v.note("the callee's phone sends the door code 1234 (RFC 2833) and hangs up");
    } else {
        pause_for(3000ms);
        v.note("the callee enters the door code 1234");
        station.far_side("dtmf 1234");
    }
    expect(v.wait_entry("FUNCTION,RECEIVE DTMF,4", 5s), "the DTMF digits");
    expect(v.wait_relay(1, 3s), "the relay switching on for the door code");
    if (!sip) {
        pause_for(2000ms);
        v.note("the far end hangs up");
        station.far_side("far-hangup");
    }
    expect(v.wait_entry("SIP STATE,CALL CLOSED,Connection reset by peer [104]", 8s), "the call closing");
    pause_for(2500ms);

    v.note(sip ? "a visitor's phone calls the station" : "an incoming call from 2001");
    station.far_side("call-in 2001");
    expect(v.wait_entry("SIP STATE,INCOMING CALL", 5s), "the incoming call");
    pause_for(3000ms);

    v.note("the visitor answers with key 2");
    expect(station.tap(2), "press of key 2");
    expect(v.wait_entries({"FUNCTION,KEY Answer", "SIP STATE,CALL ESTABLISHED,incoming"}, 5s),
           "the answer and the call established");
    if (sip) {
        v.note("the caller sends the door code and hangs up");
        expect(v.wait_entry("FUNCTION,RECEIVE DTMF,4", 5s), "the caller's DTMF digits");
    } else {
        pause_for(2500ms);
        v.note("the caller hangs up");
        station.far_side("far-hangup");
    }
    expect(v.wait_entry("SIP STATE,CALL CLOSED", 8s), "the call closing");
    pause_for(1500ms);

    v.note("someone opens the tamper switch");
    station.close_tamper();
    station.open_tamper();
    expect(v.wait_entry("BUTTON,KEY_GPIO3 trigger", 5s), "the tamper trigger");
    expect(v.wait_entry("FUNCTION,KEY1 Play Auido", 5s), "the alarm sound");
    pause_for(2000ms);
    v.note("end of the scenario");
    return ok && !stop_requested;
}

void run_interactive(sim_station& station, int input_fd, std::ostream& out)
{
    out << help_text << "station> " << std::flush;
    std::string pending;
    while (!stop_requested) {
        pollfd pfd{input_fd, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            continue;
        char buffer[512];
        const ssize_t got = read(input_fd, buffer, sizeof buffer);
        if (got <= 0)
            return;  // end of input
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!handle_command(station, line, out))
                return;
            out << station.view().status_line() << "\nstation> " << std::flush;
        }
    }
}

void print_sip_summary(sim_station& station, std::ostream& out)
{
    if (!station.real_sip())
        return;
    const sim_view::sip_counts counts = station.view().sip_messages();
    const auto line = [&](const char* what, const std::map<std::string, int>& kinds) {
        int total = 0;
        std::string detail;
        for (const auto& [kind, n] : kinds) {
            total += n;
            detail += (detail.empty() ? "" : ", ") + kind + " " + std::to_string(n);
        }
        out << "  " << what << " " << total << (detail.empty() ? "" : " (" + detail + ")") << "\n";
    };
    out << "\nSIP messages at the far end (SIPp):\n";
    line("received", counts.received);
    line("sent    ", counts.sent);
}

void print_call_records(const sim_station& station, std::ostream& out)
{
    out << "\nCall records (" << station.root().file("/userdata/cdr.csv") << "):\n";
    out << "date,start,end,account,peer,duration,direction,outcome,reason\n";
    const std::string records = read_text_file(station.root().file("/userdata/cdr.csv"));
    out << (records.empty() ? "(none)\n" : records);
}

void print_check(const sim_station& station, std::ostream& out)
{
    out << "\nstation-check --problems (STATION_ROOT=" << station.root().path() << "):\n";
    std::string report;
    const int status = station.run_check(report);
    if (status < 0) {
        out << "station-check could not run; see " << station.root().path() << "/station-check.err\n";
        return;
    }
    out << report << "(exit status " << status << ": 0 ready, 1 warnings only, 2 errors, 3 the check could not run)\n";
}
