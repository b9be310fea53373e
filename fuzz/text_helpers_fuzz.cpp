// The helpers that put outside text into JSON commands, shell words and
// record lines: whatever the text, the result reads back as the same text
// and cannot break out of its place. The station's commands and relay
// requests are read back by the parsers of their receivers.
#include <cstring>

#include "common/c_holders.h"
#include "common/http_action.h"
#include "common/json_text.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "fuzz/fuzz_station.h"

namespace {

// What the shell makes of a word of single-quoted parts and \' between them,
// as shell_quote builds it; false when the word is anything else.
bool shell_word_text(const std::string& word, std::string& text)
{
    text.clear();
    for (std::size_t i = 0; i < word.size();) {
        if (word[i] == '\'') {
            const std::size_t end = word.find('\'', i + 1);
            if (end == std::string::npos)
                return false;
            text += word.substr(i + 1, end - i - 1);
            i = end + 1;
        } else if (word.compare(i, 2, "\\'") == 0) {
            text += '\'';
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text = fuzz_text(data, size);

    // Inside quotes, the escaped text is one JSON string, and it is the text.
    const std::string json = "{\"data\":\"" + json_escape(text) + "\"}";
    json_ptr parsed(cJSON_Parse(json.c_str()));
    fuzz_require(parsed != nullptr, "an escaped text makes valid JSON");
    fuzz_require(cJSON_GetArraySize(parsed.get()) == 1, "an escaped text adds no member");
    if (text.find('\0') == std::string::npos)
        fuzz_require(json_string_member(parsed.get(), "data") == text, "an escaped text reads back as itself");

    std::string word_text;
    fuzz_require(shell_word_text(shell_quote(text), word_text), "a quoted text is one shell word");
    fuzz_require(word_text == text, "a quoted text reads back as itself");

    // A number becomes a dial command and nothing else: one the user agent
    // can dial reads back as itself with its index, any other is at most
    // refused, never another command. A text with a NUL cannot come from
    // the settings, which are C strings.
    if (text.find('\0') == std::string::npos) {
        const int index = size > 0 ? data[0] % 4 : 0;
        const ua_command dial = parse_command(dial_command_text(text, index));
        fuzz_require(dial.kind == command_kind::dial || dial.kind == command_kind::malformed,
                     "a dial command reads back as a dial or is refused");
        const ua_command p2p = parse_command(p2p_dial_command_text(text));
        fuzz_require(p2p.kind == command_kind::dial || p2p.kind == command_kind::malformed,
                     "a P2P dial command reads back as a dial or is refused");
        if (dialable(text)) {
            fuzz_require(dial.kind == command_kind::dial && dial.number == text && !dial.p2p &&
                             dial.account_index == index,
                         "a dialable number reads back with its index");
            fuzz_require(p2p.kind == command_kind::dial && p2p.number == text && p2p.p2p,
                         "a dialable address reads back as a P2P dial");
        }
        const std::optional<relay_request> request = parse_relay_request(relay_request_text(text, true, text));
        fuzz_require(request && request->id == text && request->type == text, "a relay request reads back as itself");
    }

    const std::string line = one_line(text);
    fuzz_require(line.size() == text.size(), "a record text keeps its length");
    for (char c : line)
        fuzz_require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "a record text has no control character");
    return 0;
}
