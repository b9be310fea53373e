#include "common/settings_line.h"

#include <cctype>

#include "common/file_text.h"
#include "common/station_root.h"

namespace {

constexpr std::size_t settings_limit = 1 << 20;

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string lowered(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::optional<std::string> raw_config_value(const char* path, const char* key)
{
    const std::string wanted = lowered(key);
    const std::size_t colon = wanted.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const std::string wanted_section = wanted.substr(0, colon);
    const std::string wanted_key = wanted.substr(colon + 1);

    std::string error;
    const std::optional<std::string> text = read_file_text(station_path(path), settings_limit, error);
    if (!text)
        return std::nullopt;
    std::optional<std::string> found;
    std::string section;
    for (std::size_t from = 0; from < text->size();) {
        std::size_t to = text->find('\n', from);
        if (to == std::string::npos)
            to = text->size();
        const std::string line = trimmed(text->substr(from, to - from));
        from = to + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            const std::size_t end = line.find(']');
            section = lowered(trimmed(line.substr(1, end == std::string::npos ? std::string::npos : end - 1)));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || section != wanted_section)
            continue;
        if (lowered(trimmed(line.substr(0, equals))) == wanted_key)
            found = trimmed(line.substr(equals + 1));
    }
    return found;
}

bool cut_by_comment(const std::string& raw_value)
{
    if (raw_value.empty() || raw_value[0] == '"' || raw_value[0] == '\'')
        return false;
    for (std::size_t i = 1; i < raw_value.size(); ++i)
        if ((raw_value[i] == ';' || raw_value[i] == '#') && raw_value[i - 1] != ' ' && raw_value[i - 1] != '\t')
            return true;
    return false;
}
