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

}  // namespace

std::string lowered(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<std::map<std::string, std::string>> raw_config_section(const char* path, const std::string& section)
{
    const std::string wanted_section = lowered(section);
    std::string error;
    const std::optional<std::string> text = read_file_text(station_path(path), settings_limit, error);
    if (!text)
        return std::nullopt;
    std::map<std::string, std::string> found;
    std::string current;
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
            current = lowered(trimmed(line.substr(1, end == std::string::npos ? std::string::npos : end - 1)));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && current == wanted_section)
            found[lowered(trimmed(line.substr(0, equals)))] = trimmed(line.substr(equals + 1));
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
