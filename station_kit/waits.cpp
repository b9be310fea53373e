#include "station_kit/waits.h"

#include <sstream>

#include "station_kit/root.h"

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
}

bool holds(const std::function<bool()>& condition, std::chrono::milliseconds duration)
{
    return !wait_until([&] { return !condition(); }, duration);
}

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string mask_log_stamps(const std::string& text)
{
    static const std::string shape = "[dddd/dd/dd dd:dd:dd ddd]";
    auto stamp_at = [&](size_t at) {
        if (at + shape.size() > text.size())
            return false;
        for (size_t i = 0; i < shape.size(); ++i) {
            const char c = text[at + i];
            if (shape[i] == 'd' ? !(c >= '0' && c <= '9') : c != shape[i])
                return false;
        }
        return true;
    };
    std::string out;
    for (size_t at = 0; at < text.size();) {
        if (stamp_at(at)) {
            out += "[T]";
            at += shape.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

std::vector<int> sample_gpio(const kit_root& root, int line, std::chrono::milliseconds duration)
{
    std::vector<int> levels;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        levels.push_back(root.gpio(line));
        std::this_thread::sleep_for(10ms);
    }
    return levels;
}

int rises(const std::vector<int>& levels)
{
    int count = 0;
    for (size_t i = 1; i < levels.size(); ++i)
        count += levels[i - 1] == 0 && levels[i] == 1;
    return count;
}

int falls(const std::vector<int>& levels)
{
    int count = 0;
    for (size_t i = 1; i < levels.size(); ++i)
        count += levels[i - 1] == 1 && levels[i] == 0;
    return count;
}


std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, sep))
        parts.push_back(part);
    return parts;
}
