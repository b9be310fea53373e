#include "simulator/uasim/behaviours.h"

#include <cctype>
#include <cstdio>
#include <optional>

#include <unistd.h>

#include "common/config.h"
#include "common/station_root.h"

namespace {

constexpr std::chrono::milliseconds unset{-1};
constexpr std::chrono::milliseconds longest{24 * 3600 * 1000};

std::optional<far_end> far_end_named(std::string word)
{
    for (char& c : word)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "answer")
        return far_end::answer;
    if (word == "noanswer")
        return far_end::noanswer;
    if (word == "busy")
        return far_end::busy;
    if (word == "reject")
        return far_end::reject;
    if (word == "unavailable")
        return far_end::unavailable;
    return std::nullopt;
}

std::string seconds_text(std::chrono::milliseconds ms)
{
    char text[32];
    if (ms.count() % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms.count() / 1000));
    else
        std::snprintf(text, sizeof text, "%.3g s", static_cast<double>(ms.count()) / 1000.0);
    return text;
}

}  // namespace

std::chrono::milliseconds parse_seconds(const std::string& text)
{
    // Digits with at most one point and at most three places after it: no
    // sign, exponent, "inf" or hexadecimal that strtod would take.
    long long whole = 0;
    long long thousandths = 0;
    int places = -1;
    bool digits = false;
    for (char c : text) {
        if (c == '.' && places < 0) {
            places = 0;
        } else if (c >= '0' && c <= '9') {
            digits = true;
            if (places < 0) {
                whole = whole * 10 + (c - '0');
                if (whole > longest.count() / 1000)
                    return unset;
            } else if (places < 3) {
                thousandths = thousandths * 10 + (c - '0');
                ++places;
            }
        } else {
            return unset;
        }
    }
    if (!digits)
        return unset;
    for (int p = places < 0 ? 0 : places; p < 3; ++p)
        thousandths *= 10;
    const std::chrono::milliseconds ms{whole * 1000 + thousandths};
    return ms <= longest ? ms : unset;
}

number_behaviour behaviour_from(const setting_reader& read, const std::string& number)
{
    // The number's own section first, then [default].
    auto value = [&](const char* key) -> std::pair<std::string, std::string> {
        return {read(number + ":" + key), read(std::string("default:") + key)};
    };
    number_behaviour b;

    const auto words = value("behaviour");
    if (auto own = far_end_named(words.first))
        b.what = *own;
    else if (auto fallback = far_end_named(words.second))
        b.what = *fallback;

    for (auto [key, field] : {std::pair{"after", &b.after}, std::pair{"hangup_after", &b.hangup_after}}) {
        const auto texts = value(key);
        const std::chrono::milliseconds own = parse_seconds(texts.first);
        const std::chrono::milliseconds fallback = parse_seconds(texts.second);
        if (own != unset)
            *field = own;
        else if (fallback != unset)
            *field = fallback;
    }
    return b;
}

number_behaviour behaviour_of(const std::string& number)
{
    // Without the file every number answers; reading it anyway would report
    // the missing file once per key.
    if (access(station_path(behaviour_file).c_str(), R_OK) != 0)
        return {};
    return behaviour_from([](const std::string& key) { return config_value(behaviour_file, key.c_str(), 64); },
                          number);
}

const char* failure_reason(far_end what)
{
    switch (what) {
    case far_end::busy: return "486 Busy Here";
    case far_end::reject: return "603 Decline";
    case far_end::unavailable: return "480 Temporarily Unavailable";
    case far_end::answer:
    case far_end::noanswer: break;
    }
    return "";
}

std::string describe(const number_behaviour& b)
{
    switch (b.what) {
    case far_end::answer: {
        std::string text = "answers after " + seconds_text(b.after);
        if (b.hangup_after.count() > 0)
            text += ", hangs up " + seconds_text(b.hangup_after) + " later";
        return text;
    }
    case far_end::noanswer: return "nobody answers";
    case far_end::busy: return "busy after " + seconds_text(b.after);
    case far_end::reject: return "rejects after " + seconds_text(b.after);
    case far_end::unavailable: return "unavailable after " + seconds_text(b.after);
    }
    return "";
}
