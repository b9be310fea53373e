// Prometheus's text exposition format (version 0.0.4), as node_exporter's
// textfile collector reads it: for each metric a "# HELP" and a "# TYPE"
// line, then its samples, one a line, "name{label="value",...} value".
//
// Pure text rules. A label value may come from the settings (an account's
// address of record), so it is escaped as the format requires and kept to
// well-formed UTF-8 without control characters: a hostile value can neither
// end the line, nor close its quotes, nor make the collector refuse the
// whole file, nor drive the terminal of whoever reads the file.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct metric_sample {
    std::vector<std::pair<std::string, std::string>> labels;  // name, value (as found)
    double value = 0;
};

struct metric_family {
    std::string name;  // [a-zA-Z_:][a-zA-Z0-9_:]*, chosen by the program
    std::string help;
    const char* type = "gauge";
    std::vector<metric_sample> samples;
};

// The label value between its quotes: '\' as "\\", '"' as "\"", a line end
// as "\n"; every other control character (C0, DEL, C1) and every byte that
// is not part of well-formed UTF-8 as '?'.
std::string label_value_text(const std::string& value);

// The help text: '\' as "\\" and a line end as "\n", as the format asks;
// other control characters and malformed UTF-8 as '?'.
std::string help_text(const std::string& help);

// A sample's value: a whole number without a fraction or an exponent, any
// other number in the shortest form that reads back the same, and "NaN",
// "+Inf", "-Inf".
std::string sample_value_text(double value);

// The families in the order given. A family without samples is left out
// whole (no HELP or TYPE either): a figure that could not be read is
// absent, never a false value. The text ends with a line end.
std::string exposition_text(const std::vector<metric_family>& families);
