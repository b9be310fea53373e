#include "simulator/uasim/ua_commands.h"

#include <cstring>
#include <vector>

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::string word;
    for (char c : line) {
        if (is_space(c)) {
            if (!word.empty())
                out.push_back(std::move(word));
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        out.push_back(std::move(word));
    return out;
}

ua_action action_problem(action_kind kind, std::string problem)
{
    ua_action a;
    a.kind = kind;
    a.problem = std::move(problem);
    return a;
}

ua_action action_of(const std::string& line)
{
    const std::vector<std::string> w = words(line);
    if (w.empty())
        return action_problem(action_kind::malformed, "empty action");
    const std::string& verb = w[0];

    // Actions without an argument.
    const std::pair<const char*, action_kind> bare[] = {
        {"far-hangup", action_kind::far_hangup},
        {"answer", action_kind::answer},
        {"listing", action_kind::listing},
        {"exit", action_kind::exit},
    };
    for (const auto& [name, kind] : bare) {
        if (verb != name)
            continue;
        if (w.size() != 1)
            return action_problem(action_kind::malformed, verb + " takes no argument");
        ua_action a;
        a.kind = kind;
        return a;
    }

    if (verb == "call-in" || verb == "dtmf") {
        if (w.size() != 2)
            return action_problem(action_kind::malformed, verb + " takes one argument");
        ua_action a;
        a.kind = verb == "call-in" ? action_kind::call_in : action_kind::dtmf;
        a.argument = w[1];
        if (a.kind == action_kind::call_in && !dialable(a.argument))
            return action_problem(action_kind::malformed, "call-in needs a number of at most " +
                                                              std::to_string(longest_number) +
                                                              " bytes without control characters");
        if (a.kind == action_kind::dtmf) {
            if (a.argument.size() > longest_digits)
                return action_problem(action_kind::malformed,
                                      "more than " + std::to_string(longest_digits) + " DTMF digits");
            for (char c : a.argument)
                if (!std::strchr("0123456789*#ABCDabcd", c) || c == '\0')
                    return action_problem(action_kind::malformed, "DTMF digits are 0-9, *, # and A-D");
        }
        return a;
    }

    if (verb == "register" || verb == "register-fail") {
        if (w.size() != 2 || w[1].size() != 1 || w[1][0] < '1' || w[1][0] > '3')
            return action_problem(action_kind::malformed, verb + " takes an account number 1, 2 or 3");
        ua_action a;
        a.kind = verb == "register" ? action_kind::register_ok : action_kind::register_fail;
        a.account = w[1][0] - '0';
        return a;
    }
    return action_problem(action_kind::unknown, "unknown action");
}

}  // namespace

ua_action parse_action(const std::string& line)
{
    ua_action a = action_of(line);
    if (a.kind == action_kind::malformed || a.kind == action_kind::unknown)
        a.line = line;
    return a;
}
