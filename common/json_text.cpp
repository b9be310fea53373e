#include "common/json_text.h"

#include <cstdio>

#include <cjson/cJSON.h>

std::string json_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (u < 0x20) {
                char code[8];
                std::snprintf(code, sizeof code, "\\u%04x", u);
                out += code;
            } else {
                out += c;
            }
        }
    }
    return out;
}

bool json_has_string(const cJSON* object, const char* name)
{
    const cJSON* item = cJSON_GetObjectItem(object, name);
    return cJSON_IsString(item) && item->valuestring != nullptr;
}

std::string json_string_member(const cJSON* object, const char* name)
{
    const cJSON* item = cJSON_GetObjectItem(object, name);
    if (!cJSON_IsString(item) || item->valuestring == nullptr)
        return {};
    return item->valuestring;
}
