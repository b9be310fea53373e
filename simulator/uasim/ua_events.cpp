#include "simulator/uasim/ua_events.h"

#include <memory>

#include "common/c_holders.h"
#include "common/station_protocol.h"

namespace {

std::string print(const json_ptr& object)
{
    const printed_json_ptr printed(cJSON_PrintUnformatted(object.get()));
    return printed ? std::string(printed.get()) : std::string();
}

json_ptr typed(const char* type)
{
    json_ptr object(cJSON_CreateObject());
    cJSON_AddStringToObject(object.get(), event_field::type, type);
    return object;
}

json_ptr call_object(const char* type, const call_parties& call)
{
    json_ptr object = typed(type);
    cJSON_AddStringToObject(object.get(), event_field::event_class, "call");
    cJSON_AddStringToObject(object.get(), event_field::direction, call.direction);
    cJSON_AddStringToObject(object.get(), event_field::account, call.aor.c_str());
    cJSON_AddStringToObject(object.get(), event_field::peer, call.peer.c_str());
    return object;
}

std::string call_line(const char* type, const call_parties& call)
{
    std::string line = std::string(type) + " " + call.direction + " " + call.peer;
    if (!call.aor.empty())
        line += " on " + call.aor;
    return line;
}

}  // namespace

ua_event register_ok_event(const std::string& aor, bool initial)
{
    json_ptr object = typed("REGISTER_OK");
    if (initial)
        cJSON_AddStringToObject(object.get(), event_field::event_class, "init register");
    cJSON_AddStringToObject(object.get(), event_field::account, aor.c_str());
    return {print(object), std::string("REGISTER_OK ") + aor + (initial ? " (first registration)" : "")};
}

ua_event register_fail_event(const std::string& aor, const std::string& reason)
{
    json_ptr object = typed("REGISTER_FAIL");
    cJSON_AddStringToObject(object.get(), event_field::account, aor.c_str());
    cJSON_AddStringToObject(object.get(), event_field::param, reason.c_str());
    return {print(object), "REGISTER_FAIL " + aor + ": " + reason};
}

ua_event call_event(const char* type, const call_parties& call)
{
    return {print(call_object(type, call)), call_line(type, call)};
}

ua_event call_closed_event(const call_parties& call, const std::string& reason)
{
    json_ptr object = call_object("CALL_CLOSED", call);
    cJSON_AddStringToObject(object.get(), event_field::param, reason.c_str());
    return {print(object), call_line("CALL_CLOSED", call) + ": " + reason};
}

ua_event dtmf_event(const char* direction, char digit)
{
    const char param[2] = {digit, '\0'};
    json_ptr object = typed("CALL_DTMF_START");
    cJSON_AddStringToObject(object.get(), event_field::event_class, "call");
    cJSON_AddStringToObject(object.get(), event_field::direction, direction);
    cJSON_AddStringToObject(object.get(), event_field::param, param);
    return {print(object), std::string("CALL_DTMF_START ") + direction + " digit " + param};
}

ua_event listing_reply(const std::vector<std::string>& aors)
{
    std::string data = "\n--- User Agents (" + std::to_string(aors.size()) + ") ---\n";
    for (std::size_t i = 0; i < aors.size(); ++i)
        data += std::to_string(i) + " - " + aors[i] + " OK\n";
    json_ptr object(cJSON_CreateObject());
    cJSON_AddFalseToObject(object.get(), event_field::event);
    cJSON_AddStringToObject(object.get(), event_field::data, data.c_str());
    const std::string count = std::to_string(aors.size()) + (aors.size() == 1 ? " account" : " accounts");
    return {print(object), "user-agent listing of " + count};
}

ua_event exit_event()
{
    return {print(typed("EXIT")), "EXIT"};
}

std::string status_value(const char* status)
{
    json_ptr object(cJSON_CreateObject());
    cJSON_AddStringToObject(object.get(), "status", status);
    return print(object);
}
