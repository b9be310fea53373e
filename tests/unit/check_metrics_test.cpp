// The text rules of station-check's metrics file and its plugin output:
// what node_exporter's parser and a monitoring server would trip over.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "check/metrics.h"
#include "check/metrics_format.h"
#include "check/plugin_report.h"

namespace {

// The process's time zone set to UTC while it lives.
class utc_zone {
public:
    utc_zone()
    {
        if (const char* tz = std::getenv("TZ"))
            old_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~utc_zone()
    {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    utc_zone(const utc_zone&) = delete;
    utc_zone& operator=(const utc_zone&) = delete;

private:
    std::optional<std::string> old_;
};

// The lines of the text that begin with the prefix.
std::string lines_starting(const std::string& text, const std::string& prefix)
{
    std::string out;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        const std::string line = text.substr(begin, end - begin);
        if (line.rfind(prefix, 0) == 0)
            out += line + "\n";
        begin = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

}  // namespace

TEST(CheckMetrics, LabelValuesAreEscapedAndKeptToPrintableUtf8)
{
    EXPECT_EQ(label_value_text("sip:1000@pbx.example.com"), "sip:1000@pbx.example.com");
    EXPECT_EQ(label_value_text("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    // A quote and a backslash in a row cannot close the quotes: each is escaped.
    EXPECT_EQ(label_value_text("\\\""), "\\\\\\\"");
    // Terminal escapes, a carriage return, NUL, DEL and C1 controls.
    EXPECT_EQ(label_value_text(std::string("x\033[2J\r\t") + '\0' + "\x7f" + "\xc2\x9b" + "y"), "x?[2J?????y");
    // Malformed UTF-8 would make the collector refuse the whole file.
    EXPECT_EQ(label_value_text("\xff\xc3(\xe2\x82"), "?" "?(?" "?");
    EXPECT_EQ(label_value_text("T\xc3\xbcr \xe2\x82\xac \xf0\x9f\x94\x94"), "T\xc3\xbcr \xe2\x82\xac \xf0\x9f\x94\x94");

    // A help text keeps its quotes; its backslashes and line ends are escaped.
    EXPECT_EQ(help_text("a \"b\" c\\d\ne"), "a \"b\" c\\\\d\\ne");
}

TEST(CheckMetrics, ValuesAreWrittenAsTheFormatReadsThem)
{
    EXPECT_EQ(sample_value_text(0), "0");
    EXPECT_EQ(sample_value_text(3), "3");
    EXPECT_EQ(sample_value_text(-2), "-2");
    EXPECT_EQ(sample_value_text(1796812265), "1796812265") << "a time stamp whole, not 1.8e+09";
    EXPECT_EQ(sample_value_text(44.943), "44.943");
    EXPECT_EQ(sample_value_text(0.1), "0.1");
    EXPECT_EQ(sample_value_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(sample_value_text(std::numeric_limits<double>::infinity()), "+Inf");
    EXPECT_EQ(sample_value_text(-std::numeric_limits<double>::infinity()), "-Inf");
    EXPECT_EQ(sample_value_text(1e300), "1e+300");
}

TEST(CheckMetrics, ExpositionHasHelpTypeAndSamplesAndLeavesOutEmptyFamilies)
{
    const std::vector<metric_family> families{
        {"orvanel_station_list_length", "Elements waiting", "gauge",
         {{{{"list", "cdr-channel"}}, 2}, {{{"list", "a\"b"}}, 0}}},
        {"orvanel_station_relay_level", "Relay", "gauge", {}},
        {"orvanel_station_ready", "Ready", "gauge", {{{}, 1}}},
    };
    EXPECT_EQ(exposition_text(families), "# HELP orvanel_station_list_length Elements waiting\n"
                                         "# TYPE orvanel_station_list_length gauge\n"
                                         "orvanel_station_list_length{list=\"cdr-channel\"} 2\n"
                                         "orvanel_station_list_length{list=\"a\\\"b\"} 0\n"
                                         "# HELP orvanel_station_ready Ready\n"
                                         "# TYPE orvanel_station_ready gauge\n"
                                         "orvanel_station_ready 1\n");
    EXPECT_EQ(exposition_text({}), "");
}

TEST(CheckMetrics, FiguresThatCouldNotBeReadAreLeftOut)
{
    const findings all{{"redis", "socket", verdict::error, "no connection"},
                       {"gpio", "gpio66", verdict::ok, "output"},
                       {"door", "door code lockout", verdict::warning, "its state could not be read"}};
    station_figures unknown;
    unknown.complete = false;
    const std::string text = exposition_text(station_metrics(unknown, all, 1796812265));
    for (const char* absent : {"account_registered", "relay_level", "tamper_open", "door_lockout", "list_length",
                               "last_call"})
        EXPECT_EQ(text.find(std::string("orvanel_station_") + absent), std::string::npos) << absent << "\n" << text;
    EXPECT_NE(text.find("\norvanel_station_ready 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\norvanel_station_check_success 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\norvanel_station_check_timestamp_seconds 1796812265\n"), std::string::npos) << text;
    EXPECT_EQ(lines_starting(text, "orvanel_station_findings{"),
              "orvanel_station_findings{verdict=\"ok\"} 1\n"
              "orvanel_station_findings{verdict=\"warning\"} 1\n"
              "orvanel_station_findings{verdict=\"error\"} 1\n");

    station_figures known;
    known.registrations = {{1, "sip:1000@pbx", true}, {3, "sip:3\"0\\0@pbx", false}};
    known.relay_level = 1;
    known.tamper_level = 0;
    known.lockout = door_lockout{};
    known.lockout->remaining = std::chrono::milliseconds(59250);
    known.list_lengths = {{"output-processing", 3}};
    known.last_call = 1796812265;
    const std::string full = exposition_text(station_metrics(known, {all[1]}, 1796812300));
    EXPECT_EQ(lines_starting(full, "orvanel_station_account_registered{"),
              "orvanel_station_account_registered{account=\"1\",address_of_record=\"sip:1000@pbx\"} 1\n"
              "orvanel_station_account_registered{account=\"3\",address_of_record=\"sip:3\\\"0\\\\0@pbx\"} 0\n");
    EXPECT_NE(full.find("\norvanel_station_ready 1\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_relay_level 1\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_tamper_open 0\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_door_lockout 1\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_door_lockout_remaining_seconds 59.25\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_list_length{list=\"output-processing\"} 3\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_last_call_timestamp_seconds 1796812265\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\norvanel_station_check_success 1\n"), std::string::npos) << full;
}

TEST(CheckMetrics, LastCallIsTheLastWholeRecordWithItsStart)
{
    const utc_zone utc;
    const std::string first = "2026-12-09,10:31:05,10:31:40,sip:1000@pbx,2001,30,out,ANSWERED,BYE\n";
    EXPECT_EQ(last_call_start(first), std::optional<std::time_t>(1796812265));
    // A record whose start the station did not see, and a line cut by a
    // power cut, say nothing of the start: the record before them counts.
    EXPECT_EQ(last_call_start(first + ",,10:40:00,sip:1000@pbx,2002,0,in,MISSED CALL,\n2026-12-09,11:0"),
              std::optional<std::time_t>(1796812265));
    EXPECT_EQ(last_call_start(first + "2026-12-10,00:00:01,00:00:09,sip:1000@pbx,2003,8,in,ANSWERED,\n"),
              std::optional<std::time_t>(1796860801));
    EXPECT_FALSE(last_call_start(""));
    EXPECT_FALSE(last_call_start("2026-12-09,10:31:05"));
    for (const char* hostile : {"2026-13-09,10:31:05,\n", "2026-12-09,24:00:00,\n", "2026-12-0x,10:31:05,\n",
                                "-026-12-09,10:31:05,\n", "2026-12-09 10:31:05,\n", "\n\n\n", "\xff\xfe,\n"})
        EXPECT_FALSE(last_call_start(hostile)) << hostile;
}

TEST(CheckMetrics, PluginStatusLineFirstWithPerformanceData)
{
    const finding ok{"redis", "socket", verdict::ok, "answers"};
    const finding warning{"door", "door code lockout", verdict::warning, "in force for 60 s more"};
    const finding error{"settings", "relay_ctrl:relay_mode", verdict::error,
                        "\"a|b\x1b[2J\nc\": no mode outputd knows"};

    EXPECT_EQ(plugin_report({ok}), "STATION OK - the station is ready | ok=1 warning=0 error=0\n");
    EXPECT_EQ(plugin_report({ok, warning}),
              "STATION WARNING - 1 warning: door/door code lockout: in force for 60 s more | ok=1 warning=1 error=0\n"
              "WARNING door/door code lockout: in force for 60 s more\n");
    // The error leads, whatever its place; a '|' from the settings cannot
    // start the performance data, nor a line end a line of its own.
    const std::string critical = plugin_report({ok, warning, error});
    EXPECT_EQ(critical, "STATION CRITICAL - 1 error, 1 warning: settings/relay_ctrl:relay_mode: \"a/b [2J c\": no mode "
                        "outputd knows | ok=1 warning=1 error=1\n"
                        "ERROR settings/relay_ctrl:relay_mode: \"a/b [2J c\": no mode outputd knows\n"
                        "WARNING door/door code lockout: in force for 60 s more\n");

    const finding long_one{"sip", "listen", verdict::error, std::string(400, 'x')};
    const std::string status = plugin_report({long_one}).substr(0, plugin_report({long_one}).find('\n'));
    EXPECT_LT(status.size(), plugin_status_text + 80) << status;
    EXPECT_NE(status.find("x... | ok=0 warning=0 error=1"), std::string::npos) << status;

    EXPECT_EQ(plugin_unknown("unknown option --x|y\n"), "STATION UNKNOWN - unknown option --x/y \n");
}
