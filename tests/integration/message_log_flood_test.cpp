// A flood of hostile events against the real orvanel: close reasons that
// carry line ends, forged log prefixes, control bytes and bytes that are not
// UTF-8 reach the message log as one line each, the hour's file stops at its
// cap with a last line that says so, and the station goes on.
#include <regex>

#include <dirent.h>
#include <sys/stat.h>

#include "common/redis_link.h"
#include "orvanel/records/message_log.h"
#include "tests/integration/running_station.h"

namespace {

const std::string forged_prefix = "[2026/01/01 00:00:00 000][error]";

// A close reason as a hostile far end sends it, in JSON: a line end and a
// forged line, CR, tab and other control bytes, bytes that are not UTF-8.
std::string hostile_event(int n)
{
    return R"({"type":"CALL_CLOSED","direction":"outgoing","param":"busy\n)" + forged_prefix + " FORGED " +
           std::to_string(n) + R"(\r\n)" + forged_prefix + R"( FORGED\u0001\t\u001b[2J\u007f \u2028 )" +
           "\xff\xfe\xc3(" + R"( end"})";
}

// The bytes that the server still holds for subscribers: what orvanel has
// not yet read of what was published.
long long subscriber_backlog(redis_client& client)
{
    reply_ptr r = client.command("CLIENT LIST TYPE pubsub");
    if (!r || r->type != REDIS_REPLY_STRING)
        return -1;
    long long bytes = 0;
    for (const std::string& line : split(std::string(r->str, r->len), '\n')) {
        const std::size_t at = line.find(" omem=");
        if (at != std::string::npos)
            bytes += std::stoll(line.substr(at + 6));
    }
    return bytes;
}

// The log files: the hour's file and any rotated one (the hour may turn
// during the test).
std::vector<std::string> log_files(const kit_root& root)
{
    std::vector<std::string> files;
    const std::string folder = root.file("/userdata/log");
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::string(entry->d_name).rfind("orvanel.log", 0) == 0)
                files.push_back(folder + "/" + entry->d_name);
        }
        closedir(dir);
    }
    return files;
}

}  // namespace

using MessageLogFlood = RunningStation;

TEST_F(MessageLogFlood, HostileEventsForgeNoLineAndStopAtTheCap)
{
    start_orvanel({});
    redis_ptr publisher = redis_open_unchecked(root.socket(), command_timeout);
    ASSERT_TRUE(publisher);

    // Pipelined, in batches: orvanel reads on while the next batch waits
    // until it has caught up, so its subscription never nears the server's
    // output buffer limit.
    constexpr int events = 100000;
    constexpr int batch = 5000;
    for (int sent = 0; sent < events; sent += batch) {
        for (int n = sent; n < sent + batch; ++n) {
            const std::string event = hostile_event(n);
            redisAppendCommand(publisher.get(), "PUBLISH session-channel %b", event.data(), event.size());
        }
        // And one that is not JSON, with a raw line end: the console shows it
        // on one line.
        const std::string raw = "not json\n" + forged_prefix + " FORGED raw";
        redisAppendCommand(publisher.get(), "PUBLISH session-channel %b", raw.data(), raw.size());
        for (int n = 0; n <= batch; ++n) {
            void* reply = nullptr;
            ASSERT_EQ(redisGetReply(publisher.get(), &reply), REDIS_OK);
            freeReplyObject(reply);
        }
        ASSERT_TRUE(wait_until([&] { return subscriber_backlog(client) < 512 * 1024; }, 10s))
            << "orvanel does not keep up: " << subscriber_backlog(client) << " bytes wait";
    }
    // The last event is through once its entry heads the operation log's
    // list: the events are handled in order.
    publish(R"({"type":"CALL_CLOSED","direction":"outgoing","param":"flood end"})");
    ASSERT_TRUE(wait_until(
        [&] {
            reply_ptr r = client.command("LINDEX %s 0", "writelog-channel");
            return r && r->type == REDIS_REPLY_STRING && std::string(r->str, r->len) == "SIP STATE,CALL CLOSED,flood end";
        },
        20s));
    EXPECT_TRUE(orvanel->running());

    const std::regex real_prefix(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \d{3}\]\[(info|notice|warn|error)\] )");
    const std::string notice_line = std::string("[warn] ") + log_cap_notice;
    const std::string reason = "[notice] 非正常挂断 挂断原因:busy " + forged_prefix + " FORGED ";
    bool capped = false;
    std::size_t reasons = 0;
    for (const std::string& file : log_files(root)) {
        const std::string text = read_text_file(file);
        EXPECT_LE(text.size(), log_file_cap) << file;
        ASSERT_FALSE(text.empty()) << file;
        EXPECT_EQ(text.back(), '\n') << file;
        std::size_t forged = 0;
        std::string unlike;  // the first line that does not start as the program's own
        for (const std::string& line : split(text, '\n')) {
            forged += line.rfind(forged_prefix, 0) == 0;
            if (unlike.empty() && (!std::regex_search(line, real_prefix, std::regex_constants::match_continuous) ||
                                   line.find('\r') != std::string::npos))
                unlike = line;
            reasons += line.find(reason) != std::string::npos;
        }
        EXPECT_EQ(forged, 0u) << file;
        EXPECT_EQ(unlike, "") << file;
        const std::size_t previous = text.rfind('\n', text.size() - 2);
        const std::string last = text.substr(previous == std::string::npos ? 0 : previous + 1);
        const bool ends_capped = last.size() > notice_line.size() &&
                                 last.compare(last.size() - notice_line.size(), notice_line.size(), notice_line) == 0;
        EXPECT_EQ(occurrences(text, log_cap_notice), ends_capped ? 1u : 0u) << "the notice comes last, once";
        capped = capped || ends_capped;
    }
    EXPECT_TRUE(capped) << "the flood fills a file to its cap, and its last line says so";
    EXPECT_GT(reasons, 5000u) << "the hostile reasons are in the log, each on its own line";

    // The console has every message, each on its line.
    const std::string console = orvanel->output();
    EXPECT_EQ(occurrences(console, "\n" + forged_prefix), 0u);
    EXPECT_EQ(occurrences(console, "parse failed!"), static_cast<std::size_t>(events / batch));
    EXPECT_EQ(occurrences(console, "FORGED 99999 "), 1u) << "the last hostile event's message";
}
