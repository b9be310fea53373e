#include "sipbridge/link/event_translation.h"

#include "common/c_holders.h"
#include "common/json_text.h"
#include "common/station_protocol.h"

namespace {

std::string printed(const json_ptr& object)
{
    const printed_json_ptr text(cJSON_PrintUnformatted(object.get()));
    return text ? std::string(text.get()) : std::string();
}

std::string member(const cJSON* event, const char* name)
{
    return json_string_member(event, name);
}

// Copies a text member; members of another type are left out, so that
// nothing but a text reaches the station where it expects one.
void copy_text(cJSON* to, const cJSON* from, const char* name, const std::string* replacement = nullptr)
{
    if (replacement) {
        cJSON_AddStringToObject(to, name, replacement->c_str());
        return;
    }
    if (json_has_string(from, name))
        cJSON_AddStringToObject(to, name, member(from, name).c_str());
}

std::string event_text(const char* type, const cJSON* source, const std::string* klass, const std::string* param)
{
    json_ptr object(cJSON_CreateObject());
    cJSON_AddTrueToObject(object.get(), event_field::event);
    cJSON_AddStringToObject(object.get(), event_field::type, type);
    copy_text(object.get(), source, event_field::event_class, klass);
    for (const char* name : {event_field::account, event_field::direction, event_field::peer, event_field::call_id})
        copy_text(object.get(), source, name);
    copy_text(object.get(), source, event_field::param, param);
    return printed(object);
}

}  // namespace

std::string station_event_text(const char* type, const cJSON* source)
{
    return event_text(type, source, nullptr, nullptr);
}

std::string station_listing_text(const std::string& listing)
{
    json_ptr object(cJSON_CreateObject());
    cJSON_AddFalseToObject(object.get(), event_field::event);
    cJSON_AddStringToObject(object.get(), event_field::data, listing.c_str());
    return printed(object);
}

station_update bridge_state::on_event(const cJSON* event)
{
    if (!json_has_string(event, event_field::type))
        return {};
    const std::string type = member(event, event_field::type);
    if (type == "EXIT")
        return on_user_agent_gone();
    if (type.rfind("CALL_", 0) == 0)
        return on_call_event(type, event);
    return on_registration_event(type, event);
}

station_update bridge_state::on_call_event(const std::string& type, const cJSON* event)
{
    station_update update;
    const std::string id = member(event, event_field::call_id);
    const std::string aor = member(event, event_field::account);
    const std::string peer = member(event, event_field::peer);
    const std::string direction = member(event, event_field::direction);

    // The user agent has no event for a call it starts: the first event of
    // an outgoing call (the local offer, before the dial's reply) stands
    // for it.
    if (direction == "outgoing" && type != "CALL_DTMF_START" && type != "CALL_DTMF_END" &&
        calls_.note_outgoing(id, aor, peer)) {
        const std::string klass = "call";
        update.events.push_back(event_text("CALL_OUTGOING", event, &klass, &peer));
        update.statuses.emplace_back(aor, calls_.status_of(aor));
    }

    if (type == "CALL_INCOMING") {
        calls_.note_incoming(id, aor, peer);
    } else if (type == "CALL_ESTABLISHED") {
        calls_.note_established(id, aor, peer);
    } else if (type == "CALL_CLOSED") {
        calls_.note_closed(id, aor, peer);
        const std::string reason = station_close_reason(member(event, event_field::param));
        update.events.push_back(event_text("CALL_CLOSED", event, nullptr, &reason));
        update.statuses.emplace_back(aor, calls_.status_of(aor));
        return update;
    } else if (type == "CALL_DTMF_START") {
        // Digits reach the station only from the call it is in: a call that
        // still rings, or another call beside it, must not try door codes.
        const ua_call* station_call = calls_.in_call();
        if (!station_call || id.empty() || station_call->id != id) {
            if (calls_.first_dtmf_refusal(id, aor, peer))
                update.notes.push_back("DTMF of call " + id.substr(0, 80) + " not passed on: " +
                                       (station_call ? "it is not the call the station is in"
                                                     : "no call is established"));
            return update;
        }
    } else {
        return update;  // media and signalling details the station has no use for
    }
    update.events.push_back(station_event_text(type.c_str(), event));
    if (type != "CALL_DTMF_START")
        update.statuses.emplace_back(aor, calls_.status_of(aor));
    return update;
}

station_update bridge_state::on_registration_event(const std::string& type, const cJSON* event)
{
    station_update update;
    const std::string aor = member(event, event_field::account);
    if (type == "REGISTER_OK") {
        registered_.insert(aor);
        const std::string klass = first_registration_.register_class(aor);
        update.events.push_back(event_text("REGISTER_OK", event, &klass, nullptr));
        update.statuses.emplace_back(aor, calls_.status_of(aor));
    } else if (type == "UNREGISTERING" && !registered_.count(aor)) {
        // An account that was not registered (one deleted to be registered
        // anew, or one that never succeeded) loses nothing: the station's
        // view of it does not change.
        return update;
    } else if (type == "REGISTER_FAIL" || type == "UNREGISTERING") {
        registered_.erase(aor);
        update.events.push_back(station_event_text(type.c_str(), event));
        update.statuses.emplace_back(aor, std::nullopt);
    }
    return update;  // REGISTERING, SHUTDOWN and the like: nothing for the station
}

station_update bridge_state::on_connected(const std::string& listing)
{
    station_update update;
    gone_reported_ = false;
    for (const std::string& aor : registered_in_listing(listing)) {
        registered_.insert(aor);
        json_ptr source(cJSON_CreateObject());
        cJSON_AddStringToObject(source.get(), event_field::account, aor.c_str());
        cJSON_AddStringToObject(source.get(), event_field::param, "200 OK");
        const std::string klass = first_registration_.register_class(aor);
        update.events.push_back(event_text("REGISTER_OK", source.get(), &klass, nullptr));
    }
    update.events.push_back(station_listing_text(listing));
    update.all_statuses = true;
    return update;
}

station_update bridge_state::on_user_agent_gone()
{
    station_update update;
    // The user agent's calls ended with it, although it said nothing of
    // them: each is closed for the station, so that no call of a user agent
    // that is gone holds the station's keys or misses its record.
    for (const ua_call& call : calls_.newest_first()) {
        json_ptr closed(cJSON_CreateObject());
        cJSON_AddStringToObject(closed.get(), event_field::event_class, "call");
        cJSON_AddStringToObject(closed.get(), event_field::account, call.aor.c_str());
        cJSON_AddStringToObject(closed.get(), event_field::direction, call.outgoing ? "outgoing" : "incoming");
        cJSON_AddStringToObject(closed.get(), event_field::peer, call.peer.c_str());
        if (!call.id.empty())
            cJSON_AddStringToObject(closed.get(), event_field::call_id, call.id.c_str());
        cJSON_AddStringToObject(closed.get(), event_field::param, user_agent_gone_reason);
        update.events.push_back(station_event_text("CALL_CLOSED", closed.get()));
        update.all_statuses = true;
    }
    calls_.clear();
    registered_.clear();
    first_registration_.forget_all();
    if (gone_reported_)
        return update;
    gone_reported_ = true;
    json_ptr source(cJSON_CreateObject());
    cJSON_AddStringToObject(source.get(), event_field::event_class, "application");
    update.events.push_back(station_event_text("EXIT", source.get()));
    update.all_statuses = true;
    return update;
}
