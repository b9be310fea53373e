// The helpers that put outside text into JSON commands, shell words and
// record lines: whatever the text, the result reads back as the same text
// and cannot break out of its place. The station's commands and relay
// requests are read back by the parsers of their receivers.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/c_holders.h"
#include "common/http_action.h"
#include "common/json_text.h"
#include "common/record_text.h"
#include "common/station_protocol.h"
#include "fuzz/fuzz_station.h"
#include "orvanel/records/site_message.h"

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

// The parameter values of a message's structured data, unescaped, in order;
// false when a value does not close or an element holds anything but
// name="value" pairs.
bool sd_values(const std::string& message, std::vector<std::string>& values)
{
    // The header's six fields end at blanks, and none holds one.
    std::size_t i = 0;
    for (int field = 0; field < 6 && i != std::string::npos; ++field)
        i = message.find(' ', i + (field > 0));
    if (i == std::string::npos)
        return false;
    ++i;
    while (i < message.size() && message[i] == '[') {
        i = message.find_first_of(" ]", i);
        while (i != std::string::npos && message[i] == ' ') {
            const std::size_t open = message.find("=\"", i);
            if (open == std::string::npos)
                return false;
            std::string value;
            std::size_t j = open + 2;
            for (; j < message.size() && message[j] != '"'; ++j) {
                if (message[j] == ']')
                    return false;
                if (message[j] == '\\')
                    ++j;
                if (j < message.size())
                    value += message[j];
            }
            if (j >= message.size())
                return false;
            values.push_back(value);
            i = j + 1;
        }
        if (i == std::string::npos || message[i] != ']')
            return false;
        ++i;
    }
    return i < message.size() && message[i] == ' ';
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

    // A line's site message: its structured data reads back as the line's
    // fields, whatever they hold, and the message stays one line.
    site_origin origin;
    origin.name = line;
    site_stamp stamp;
    stamp.sequence = 1;
    const std::string message = site_entry_message(line, origin, stamp);
    std::vector<std::string> values;
    fuzz_require(sd_values(message, values), "a site message's structured data is well formed");
    fuzz_require(values.size() == 6 && values[3] + "," + values[4] + "," + values[5] == line + std::string(
                     std::count(line.begin(), line.end(), ',') >= 2 ? 0 : 2 - std::count(line.begin(), line.end(), ','), ','),
                 "a site message's fields read back as the entry");
    fuzz_require(message.find_first_of("\r\n") == std::string::npos, "a site message is one line");
    return 0;
}
