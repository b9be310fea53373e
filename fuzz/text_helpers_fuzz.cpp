// The helpers that put outside text into JSON commands, shell words and
// record lines: whatever the text, the result reads back as the same text
// and cannot break out of its place.
#include <cstring>

#include "common/c_holders.h"
#include "common/http_action.h"
#include "common/json_text.h"
#include "common/record_text.h"
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

    const std::string line = one_line(text);
    fuzz_require(line.size() == text.size(), "a record text keeps its length");
    for (char c : line)
        fuzz_require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "a record text has no control character");
    return 0;
}
