#include "common/settings_keys.h"

namespace {

// The name with its placeholder replaced by the number, which must be one
// of the entry's; a name without numbers takes none.
bool fill_number(std::string& name, char placeholder, const setting_numbers& numbers, int number)
{
    if (numbers.count == 0)
        return number == 0;
    for (std::size_t i = 0; i < numbers.count; ++i)
        if (numbers.values[i] == number) {
            name.replace(name.find(placeholder), 1, std::to_string(number));
            return true;
        }
    return false;
}

}  // namespace

std::string setting_name(setting s, int n, int k)
{
    const setting_key& entry = setting_entry(s);
    std::string section = entry.section;
    std::string key = entry.key;
    if (!fill_number(section, 'N', entry.section_numbers, n) || !fill_number(key, 'K', entry.key_numbers, k))
        return {};
    return section + ":" + key;
}

std::string numbers_text(const setting_numbers& numbers)
{
    if (numbers.count == 0)
        return {};
    bool in_a_row = true;
    for (std::size_t i = 1; i < numbers.count; ++i)
        in_a_row = in_a_row && numbers.values[i] == numbers.values[i - 1] + 1;
    const std::string first = std::to_string(numbers.values[0]);
    const std::string last = std::to_string(numbers.values[numbers.count - 1]);
    if (numbers.count == 1)
        return first;
    if (in_a_row)
        return first + " to " + last;
    std::string text;
    for (std::size_t i = 0; i + 1 < numbers.count; ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(numbers.values[i]);
    return text + " or " + last;
}

std::vector<std::string> section_keys(const std::string& section)
{
    std::vector<std::string> keys;
    for (const setting_key& entry : settings_table)
        if (section == entry.section)
            keys.emplace_back(entry.key);
    return keys;
}
