// What the SIP user agent's control socket may send the bridge: bytes cut
// into netstrings of any length, and the JSON events inside them. Every text
// the bridge would publish on session-channel is one JSON object.
#include "common/c_holders.h"
#include "common/station_protocol.h"
#include "fuzz/fuzz_station.h"
#include "sipbridge/link/event_translation.h"
#include "sipbridge/link/netstring.h"

namespace {

// One bridge for the run, as one bridge lives through many events.
bridge_state& bridge()
{
    static bridge_state state;
    return state;
}

void require_events_are_json(const station_update& update)
{
    for (const std::string& event : update.events) {
        json_ptr parsed(cJSON_Parse(event.c_str()));
        fuzz_require(parsed && cJSON_IsObject(parsed.get()), "a published event is one JSON object");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    netstring_reader reader(4096);
    // The bytes come in two reads, split where the first byte says.
    const std::size_t cut = size > 0 ? std::min<std::size_t>(data[0], size - 1) : 0;
    const std::string bytes = size > 0 ? fuzz_text(data + 1, size - 1) : std::string();
    reader.feed(bytes.data(), std::min(cut, bytes.size()));
    for (bool fed_rest = false;;) {
        const std::optional<std::string> frame = reader.next();
        if (!frame) {
            if (fed_rest || reader.broken())
                break;
            if (cut < bytes.size())
                reader.feed(bytes.data() + cut, bytes.size() - cut);
            fed_rest = true;
            continue;
        }
        fuzz_require(frame->size() <= 4096, "a frame is within the limit");
        json_ptr event(cJSON_Parse(frame->c_str()));
        if (!event)
            continue;
        require_events_are_json(bridge().on_event(event.get()));
        if (cJSON_IsObject(event.get()) && cJSON_HasObjectItem(event.get(), event_field::data)) {
            const cJSON* listing = cJSON_GetObjectItem(event.get(), event_field::data);
            if (cJSON_IsString(listing))
                require_events_are_json(bridge().on_connected(listing->valuestring));
        }
    }
    if (size > 0 && data[0] == 0xff)
        require_events_are_json(bridge().on_user_agent_gone());
    return 0;
}
