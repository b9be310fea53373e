// The builders and readers of the messages that common/station_protocol.h
// documents. Pure: no Redis, no settings, no console.
#include "common/station_protocol.h"

#include "common/c_holders.h"
#include "common/json_text.h"

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_space(char c)
{
    return is_blank(c) || c == '\r' || c == '\n';
}

std::string trimmed_end(std::string text)
{
    while (!text.empty() && is_space(text.back()))
        text.pop_back();
    return text;
}

std::string trimmed(const std::string& text)
{
    std::size_t begin = 0;
    while (begin < text.size() && is_space(text[begin]))
        ++begin;
    return trimmed_end(text.substr(begin));
}

bool all_digits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// {"cmd":"<name>","data":"<data>"}, the data already escaped.
std::string command_text(const char* name, const std::string& escaped_data)
{
    return std::string(R"({"cmd":")") + name + R"(","data":")" + escaped_data + "\"}";
}

ua_command malformed(std::string name, std::string problem)
{
    ua_command c;
    c.kind = command_kind::malformed;
    c.name = std::move(name);
    c.problem = std::move(problem);
    return c;
}

ua_command dial_command(const std::string& data)
{
    ua_command c;
    c.kind = command_kind::dial;
    c.name = "dial";
    // Only the end is trimmed before the index is looked for, so that
    // " 0" is an index without a number rather than the address "0".
    const std::string text = trimmed_end(data);
    const std::size_t blank = text.find_last_of(" \t");
    if (blank != std::string::npos && all_digits(text.substr(blank + 1))) {
        const std::string index = text.substr(blank + 1);
        // More digits than any account count needs name no account; they
        // must not overflow the conversion either.
        c.account_index = index.size() > 6 ? 1000000 : std::stol(index);
        c.number = trimmed(text.substr(0, blank));
    } else {
        c.p2p = true;
        c.number = trimmed(text);
    }
    if (c.number.empty())
        return malformed("dial", "no number to dial");
    if (c.number.size() > longest_number)
        return malformed("dial", "number longer than " + std::to_string(longest_number) + " bytes");
    if (!dialable(c.number))
        return malformed("dial", "a number with blanks or control characters cannot be dialled");
    return c;
}

ua_command play_command(const std::string& data)
{
    const std::size_t colon = data.rfind(':');
    if (colon == std::string::npos || !all_digits(data.substr(colon + 1)) || colon == 0)
        return malformed("play", "play data is not PATH:COUNT");
    ua_command c;
    c.kind = command_kind::play;
    c.name = "play";
    c.sound = data.substr(0, colon);
    c.count = data.substr(colon + 1);
    return c;
}

ua_command command_of(const std::string& text)
{
    json_ptr parsed(cJSON_Parse(text.c_str()));
    if (!parsed || !cJSON_IsObject(parsed.get()))
        return malformed("", "not a JSON object");
    if (!json_has_string(parsed.get(), "cmd"))
        return malformed("", "no \"cmd\" text");
    const std::string name = json_string_member(parsed.get(), "cmd");
    const bool data_is_text = json_has_string(parsed.get(), "data");
    const std::string data = json_string_member(parsed.get(), "data");

    if (name == "accept" || name == "hangup" || name == "hangupall") {
        ua_command c;
        c.kind = name == "accept" ? command_kind::accept
                 : name == "hangup" ? command_kind::hangup
                                    : command_kind::hangupall;
        c.name = name;
        return c;
    }
    if (name != "dial" && name != "play") {
        ua_command c;
        c.kind = command_kind::unknown;
        c.name = name;
        c.problem = "unknown command";
        return c;
    }
    if (!data_is_text)
        return malformed(name, "\"data\" is not a text");
    return name == "dial" ? dial_command(data) : play_command(data);
}

}  // namespace

std::string dial_command_text(const std::string& number, int account_index)
{
    return command_text("dial", json_escape(number) + " " + std::to_string(account_index));
}

std::string p2p_dial_command_text(const std::string& number)
{
    return command_text("dial", json_escape(number));
}

std::string play_command_text(const std::string& path, int count)
{
    return command_text("play", json_escape(path) + ":" + std::to_string(count));
}

int account_index(const enabled_account_flags& enabled, int account)
{
    if (account < 1 || account >= static_cast<int>(enabled.size()) || !enabled[static_cast<std::size_t>(account)])
        return -1;
    int index = 0;
    for (int n = 1; n < account; ++n)
        index += enabled[static_cast<std::size_t>(n)] ? 1 : 0;
    return index;
}

bool dialable(const std::string& number)
{
    if (number.empty() || number.size() > longest_number)
        return false;
    for (char c : number) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

ua_command parse_command(const std::string& text)
{
    ua_command c = command_of(text);
    if (c.kind == command_kind::malformed || c.kind == command_kind::unknown)
        c.text = text;
    return c;
}

std::string relay_request_text(const std::string& id, bool on, const std::string& type)
{
    const std::string head = R"({"id":")" + json_escape(id) + R"(","type":")";
    return head + (on ? json_escape(type) : std::string(output_off_type)) + "\"}";
}

std::optional<relay_request> parse_relay_request(const std::string& text)
{
    json_ptr message(cJSON_Parse(text.c_str()));
    if (!message)
        return std::nullopt;
    // A request without "id" or "type" text names no output.
    relay_request request;
    if (json_has_string(message.get(), "id") && json_has_string(message.get(), "type")) {
        request.id = json_string_member(message.get(), "id");
        request.type = json_string_member(message.get(), "type");
    }
    return request;
}
