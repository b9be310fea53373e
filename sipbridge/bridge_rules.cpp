#include "sipbridge/bridge_rules.h"

#include <cctype>
#include <cstring>
#include <sstream>

std::string station_close_reason(const std::string& reason)
{
    if (reason == "Connection reset by peer")
        return "Connection reset by peer [104]";
    return reason;
}

std::optional<int> account_for_index(const std::array<bool, 3>& enabled, int index)
{
    if (index < 0)
        return std::nullopt;
    int seen = 0;
    for (int n = 1; n <= 3; ++n) {
        if (!enabled[static_cast<std::size_t>(n - 1)])
            continue;
        if (seen == index)
            return n;
        ++seen;
    }
    return std::nullopt;
}

bool valid_user_part(const std::string& number)
{
    if (number.empty())
        return false;
    for (std::size_t i = 0; i < number.size(); ++i) {
        const auto c = static_cast<unsigned char>(number[i]);
        if (std::isalnum(c) || (c != '\0' && std::strchr("-_.!~*'()&=+$,;?/", c)))
            continue;
        if (c == '%' && i + 2 < number.size() && std::isxdigit(static_cast<unsigned char>(number[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(number[i + 2]))) {
            i += 2;
            continue;
        }
        return false;
    }
    return true;
}

std::string call_status_text(account_call_status status)
{
    switch (status) {
    case account_call_status::idle:
        return R"({"status":"idle"})";
    case account_call_status::outgoing_ringing:
        return R"({"status":"ringing"})";
    case account_call_status::incoming_ringing:
        return R"({"status":"ring"})";
    case account_call_status::answered:
        return R"({"status":"answer"})";
    }
    return R"({"status":"idle"})";
}

std::string registration_record::register_class(const std::string& aor)
{
    return registered_.insert(aor).second ? "init register" : "register";
}

std::vector<std::string> registered_in_listing(const std::string& listing)
{
    std::vector<std::string> aors;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        // "> sip:2000@127.0.0.1:15070   ESC[32mOK ESC[;m  Expires 60s": the
        // current account is marked with '>', the others with a blank.
        const std::size_t start = line.find("sip:");
        if (start == std::string::npos || start > 2)
            continue;
        const std::size_t end = line.find_first_of(" \t", start);
        const std::string aor = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end != std::string::npos && line.find("OK", end) != std::string::npos)
            aors.push_back(aor);
    }
    return aors;
}
