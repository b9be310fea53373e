// The findings of station-check: one line per item checked, with its
// verdict. Each check (Redis, programs, GPIO, storage, tools, settings, the
// door, SIP) returns its findings; main gathers them, prints them as text or
// JSON, and leaves with the status of the worst verdict.
#pragma once

#include <string>
#include <vector>

enum class verdict { ok, warning, error };

// `area` names the check ("redis", "settings", "door"...), `item` what was
// checked within it (a key, a list, a line), `text` says in the system's
// words what was found, what the station will do with it and what to change.
struct finding {
    std::string area;
    std::string item;
    verdict level;
    std::string text;
};

using findings = std::vector<finding>;

// "ok", "warning", "error".
const char* verdict_name(verdict level);

// The worst verdict among the findings; ok for none.
verdict worst_verdict(const findings& all);

// The exit status for the findings: 0 with no error or warning, 1 with
// warnings only, 2 with an error.
int exit_status(const findings& all);

// The findings as text, one line each, grouped as given, and a summary
// line. With colour the verdicts are marked with terminal colour codes.
// With problems_only the ok lines are left out (the summary still counts
// them), so what an installer must fix fits one screen.
std::string findings_text(const findings& all, bool colour, bool problems_only = false);

// The findings as a JSON object: {"findings": [{"area", "item", "verdict",
// "text"}...], "summary": {"ok", "warning", "error", "exit"}}. Text from
// outside (values read from settings or Redis) is escaped by cJSON.
std::string findings_json(const findings& all);

// Colour is used only when standard output is a terminal and NO_COLOR is
// not set.
bool colour_wanted();
