#include "soak/workload.h"

#include <thread>

#include "common/redis_link.h"
#include "common/station_protocol.h"

const char* const soak_relay_type = "singleBToggle";

std::string soak_entry(int index)
{
    return "Other Event,soak entry " + std::to_string(index) + ",";
}

std::string soak_close_reason(int index)
{
    return "soak call " + std::to_string(index);
}

namespace {

std::string call_event(const char* type, const std::string& param)
{
    return std::string(R"({"type":")") + type + R"(","class":"call","direction":"outgoing","accountaor":")" +
           soak_account_aor + R"(","peeruri":"sip:1001@soak.test","param":")" + param + R"("})";
}

bool acked(const reply_ptr& r)
{
    return r && r->type == REDIS_REPLY_INTEGER;
}

}  // namespace

reply_ptr soak_workload::command(const char* format, const std::string& a, const std::string& b)
{
    if (!client_ || !client_->connected())
        client_ = std::make_unique<redis_client>(root_.socket());
    reply_ptr r = client_->command(format, a, b);
    if (!r)
        client_.reset();
    return r;
}

bool soak_workload::publish(const std::string& event)
{
    reply_ptr r = command("PUBLISH %s %s", session_channel, event);
    return r && r->type == REDIS_REPLY_INTEGER && r->integer == 1;
}

long long soak_workload::length(const char* list)
{
    reply_ptr r = command("LLEN %s", list);
    return r && r->type == REDIS_REPLY_INTEGER ? r->integer : -1;
}

round_record soak_workload::run_round(int index)
{
    round_record r;
    r.index = index;
    r.entry_at = soak_clock::now();
    r.entry_acked = acked(command("LPUSH %s %s", writelog_list, soak_entry(index)));

    r.press_at = soak_clock::now();
    root_.set_gpio(140, 0);
    std::this_thread::sleep_for(150ms);
    root_.set_gpio(140, 1);

    const std::optional<std::string> taken = popped_text(command("BRPOP %s %s", control_list, "1.5").get());
    const command_kind cmd = taken ? parse_command(*taken).kind : command_kind::malformed;
    if (cmd == command_kind::dial) {
        r.command = round_record::answer::dial;
        call(r);
    } else if (cmd == command_kind::hangup || cmd == command_kind::hangupall) {
        // A call of an earlier round whose close never reached orvanel: the
        // key hangs it up, and the user agent closes it.
        r.command = round_record::answer::hangup;
        publish(call_event("CALL_CLOSED", "soak recover"));
    } else {
        // No dial: orvanel or the server was away, or the station does not
        // take the account for registered; the user agent tells it again.
        publish(soak_register_event);
    }
    relay(r);
    return r;
}

void soak_workload::call(round_record& r)
{
    r.call_begin = soak_clock::now();
    bool delivered = publish(call_event("CALL_OUTGOING", ""));
    std::this_thread::sleep_for(20ms);
    delivered = publish(call_event("CALL_ESTABLISHED", "")) && delivered;
    std::this_thread::sleep_for(20ms);
    delivered = publish(R"({"type":"CALL_DTMF_START","param":"1234"})") && delivered;
    std::this_thread::sleep_for(20ms);
    delivered = publish(call_event("CALL_CLOSED", soak_close_reason(r.index))) && delivered;
    r.call_end = soak_clock::now();
    r.call_delivered = delivered;
}

void soak_workload::relay(round_record& r)
{
    // What the door code asked of outputd is done first, so the line that
    // follows shows this round's request.
    wait_until([&] { return length(output_list) == 0 && length(output_processing) == 0 && root_.gpio(66) == 0; }, 3s);
    r.relay_begin = soak_clock::now();
    const bool on = acked(command("LPUSH %s %s", output_list, relay_request_text(relay_output, true, soak_relay_type)));
    if (on)
        r.relay_on_seen = wait_until([&] { return root_.gpio(66) == 1; }, 4s);
    const bool off = acked(command("LPUSH %s %s", output_list, relay_request_text(relay_output, false, "")));
    if (off)
        r.relay_off_seen = wait_until([&] { return root_.gpio(66) == 0; }, 4s);
    r.relay_on_acked = on;
    r.relay_acked = on && off;
    r.relay_end = soak_clock::now();
}
