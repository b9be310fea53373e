// The site log against the real orvanel: the test stands in for the
// station's log instance on its socket and reads what orvanel hands it, line
// by line beside system.csv and cdr.csv.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>

#include "common/c_holders.h"
#include "tests/integration/running_station.h"

namespace {

const char socket_path[] = "/run/station-sitelog/log.sock";

// The instance's socket: every datagram orvanel sends to it.
class log_socket {
public:
    explicit log_socket(const std::string& path) : path_(path)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        ::unlink(path.c_str());
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            ADD_FAILURE() << "cannot bind " << path << ": " << std::strerror(errno);
    }
    ~log_socket() { ::unlink(path_.c_str()); }

    // Takes what arrived, waiting up to `within` for the first one.
    void take(std::chrono::milliseconds within = 0ms)
    {
        pollfd p{fd_.get(), POLLIN, 0};
        int wait = static_cast<int>(within.count());
        while (::poll(&p, 1, wait) > 0) {
            char text[65536];
            const ssize_t n = ::recv(fd_.get(), text, sizeof text, 0);
            if (n < 0)
                break;
            messages_.emplace_back(text, static_cast<size_t>(n));
            wait = 0;
        }
    }
    const std::vector<std::string>& messages()
    {
        take();
        return messages_;
    }
    // Waits until n messages have come.
    bool wait_for(size_t n, std::chrono::milliseconds timeout = 10s)
    {
        return wait_until(
            [&] {
                take(50ms);
                return messages_.size() >= n;
            },
            timeout);
    }
private:
    std::string path_;
    unique_fd fd_;
    std::vector<std::string> messages_;
};

struct site_message {
    std::string msgid;
    long long sequence = 0;
    std::string text;  // the MSG: the line as in its file
    std::string whole;
};

site_message parse(const std::string& m)
{
    static const std::regex form(
        R"re(<\d+>1 \S+ (\S+) orvanel \d+ (\S+) \[meta (?:sequenceId="(\d+)" )?sysUpTime="\d+"\].*?[^\\]\] (.*))re");
    std::smatch match;
    site_message out;
    out.whole = m;
    if (std::regex_match(m, match, form)) {
        out.msgid = match[2];
        out.sequence = match[3].length() ? std::stoll(match[3]) : 0;
        out.text = match[4];
    }
    return out;
}

// True when no ']' stands unescaped inside a parameter value of the
// structured data, and every value that opens closes.
bool values_closed(const std::string& sd)
{
    bool in_value = false;
    for (size_t i = 0; i < sd.size(); ++i) {
        if (!in_value) {
            in_value = sd[i] == '"';
        } else if (sd[i] == '\\') {
            ++i;
        } else if (sd[i] == '"') {
            in_value = false;
        } else if (sd[i] == ']') {
            return false;
        }
    }
    return !in_value;
}

}  // namespace

class SiteLog : public RunningStation {
protected:
    void SetUp() override
    {
        root.write_settings("[site]\nname = door-3\n[relay_ctrl]\ntype = On\ndtmf = yes\ndtmf_code = 1234\n"
                            "mode = hold\n");
        start_orvanel();
    }

    std::vector<site_message> received()
    {
        std::vector<site_message> out;
        for (const std::string& m : sink.messages())
            out.push_back(parse(m));
        return out;
    }

    // The lines of a record file, without the operation log's time stamps.
    std::vector<std::string> records(const std::string& file, size_t stamp)
    {
        std::vector<std::string> out;
        for (const std::string& line : split(root.read(file), '\n'))
            if (!line.empty())
                out.push_back(line.substr(std::min(stamp, line.size())));
        return out;
    }

    // An entry as another program of the station pushes it.
    void push_entry(const std::string& entry) { client.command("LPUSH %s %s", "writelog-channel", entry); }

    void opened_by_code()
    {
        publish(R"({"type":"REGISTER_OK","class":"init register"})");
        publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:4000@h"})");
        publish(R"({"type":"CALL_ESTABLISHED","direction":"incoming"})");
        for (const char d : std::string("1234"))
            publish(std::string(R"({"type":"CALL_DTMF_START","param":")") + d + "\"}");
        publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"Connection reset by peer [104]"})");
    }

    log_socket sink{root.file(socket_path)};
};

TEST_F(SiteLog, EveryEntryAndCallRecordGoesOutOnceInTheFilesOrderNumberedWithoutAGap)
{
    opened_by_code();
    ASSERT_TRUE(wait_until([&] { return count_entries("FUNCTION,RELAY Request,DTMF code") == 1; }));
    ASSERT_TRUE(wait_until([&] { return records("/userdata/cdr.csv", 0).size() == 1; }));
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }));
    const std::vector<std::string> entries = oplog();
    const std::vector<std::string> cdr = records("/userdata/cdr.csv", 0);
    ASSERT_TRUE(sink.wait_for(entries.size() + cdr.size()));
    const std::vector<site_message> got = received();
    ASSERT_EQ(got.size(), entries.size() + cdr.size());

    // One message per line, the entries in the order of system.csv, each
    // number one above the last.
    std::vector<std::string> entry_texts;
    for (const site_message& m : got) {
        ASSERT_FALSE(m.msgid.empty()) << "not the station's form: " << m.whole;
        EXPECT_EQ(m.sequence, got.front().sequence + (&m - got.data())) << m.whole;
        EXPECT_NE(m.whole.find(R"([station@32473 name="door-3")"), std::string::npos) << m.whole;
        if (m.msgid != "record")
            entry_texts.push_back(m.text);
    }
    EXPECT_EQ(entry_texts, entries);
    // The call record comes from a writer of its own, beside the entries.
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [&](const site_message& m) { return m.text == cdr.front(); }), 1);

    // How the door was opened, in the file and in the message.
    bool door = false;
    for (const site_message& m : got)
        if (m.text == "FUNCTION,RELAY Request,DTMF code") {
            door = true;
            EXPECT_EQ(m.msgid, "door");
            EXPECT_NE(m.whole.find(R"(event="RELAY Request" detail="DTMF code"])"), std::string::npos);
        }
    EXPECT_TRUE(door);
}

// The series is kept in Redis: a restarted orvanel goes on where it left,
// and a line left in flight by a killed one goes out under the number it had.
TEST_F(SiteLog, TheSeriesGoesOnAcrossARestartAndALineInFlightKeepsItsNumber)
{
    push_entry("Other Event,before the restart,");
    ASSERT_TRUE(sink.wait_for(1));
    const long long first = received().back().sequence;
    ASSERT_GT(first, 0);
    // The writer is done with it (the message goes out before the entry
    // leaves its processing list): a kill now leaves nothing of it behind.
    ASSERT_TRUE(wait_until([&] { return client.command("LLEN %s", "writelog-processing")->integer == 0; }));

    orvanel.reset();
    // As a writer killed between its file and the socket leaves it: the
    // entry on its processing list, with the number it gave it.
    client.command("LPUSH %s %s", "writelog-processing", "Other Event,left in flight,");
    client.command("SET %s %s", "writelog-site-sequence", std::to_string(first + 1) + " Other Event,left in flight,");
    client.command("SET %s %s", "site-log-sequence", std::to_string(first + 1));
    start_orvanel();
    ASSERT_TRUE(wait_until([&] { return count_entries("Other Event,left in flight,") == 1; }));
    push_entry("Other Event,after the restart,");
    ASSERT_TRUE(sink.wait_for(3));
    const std::vector<site_message> got = received();
    EXPECT_EQ(got[1].text, "Other Event,left in flight,");
    EXPECT_EQ(got[1].sequence, first + 1) << "the number it had";
    EXPECT_EQ(got[2].sequence, first + 2) << "the series goes on";
    // The mark leaves in the same step as the entry it belongs to.
    ASSERT_TRUE(wait_until([&] { return client.command("LLEN %s", "writelog-processing")->integer == 0; }));
    EXPECT_EQ(client.command("EXISTS %s", "writelog-site-sequence")->integer, 0) << "the mark left with the entry";
}

TEST_F(SiteLog, HostileSipDataArrivesEscapedOneMessageEach)
{
    publish(R"({"type":"REGISTER_OK","class":"init register"})");
    publish(R"({"type":"CALL_INCOMING","direction":"incoming","peeruri":"sip:\"] [meta sequenceId=\"1\"]\n<13>1 - x@h"})");
    publish(R"({"type":"CALL_CLOSED","direction":"incoming","param":"=cmd\\\"]\r\n\u0000end"})");
    // And from another program, with a line end inside.
    push_entry("Other Event,\"] [x] \\\n<13>1 forged],");
    ASSERT_TRUE(wait_until([&] { return records("/userdata/cdr.csv", 0).size() == 1; }));
    const size_t lines = wait_oplog(3).size() + 1;
    ASSERT_TRUE(sink.wait_for(lines));
    const std::vector<site_message> got = received();
    EXPECT_EQ(got.size(), lines) << "one message per line, nothing split off";
    for (const site_message& m : got) {
        EXPECT_FALSE(m.msgid.empty()) << m.whole;
        EXPECT_EQ(m.whole.find_first_of("\r\n"), std::string::npos) << m.whole;
        EXPECT_TRUE(values_closed(m.whole.substr(0, m.whole.size() - m.text.size()))) << m.whole;
    }
}

// Without the instance (the site names no log server) orvanel sends nothing
// and says nothing; an instance that stops reading holds no record up for
// longer than its patience, and the message log says the site misses lines.
TEST_F(SiteLog, NoInstanceOrAStalledOneNeverHoldsTheRecordsUp)
{
    ::unlink(root.file(socket_path).c_str());
    push_entry("Other Event,no instance,");
    ASSERT_TRUE(wait_until([&] { return count_entries("Other Event,no instance,") == 1; }));
    EXPECT_EQ(root.message_log().find("site log"), std::string::npos) << root.message_log();

    // An instance that is there but takes nothing: its queue fills.
    log_socket stalled{root.file(socket_path)};
    const auto started = std::chrono::steady_clock::now();
    for (int n = 0; n < 30; ++n)
        push_entry("Other Event,stalled " + std::to_string(n) + ",");
    ASSERT_TRUE(wait_until([&] { return count_entries("Other Event,stalled 29,") == 1; }, 30s))
        << "the file is written while the instance stalls";
    // Five a second, and one wait of the instance's patience.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s + 5s + 3s);
    EXPECT_TRUE(wait_until([&] { return root.message_log().find("does not take the line") != std::string::npos; }));
}
