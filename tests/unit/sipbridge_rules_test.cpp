#include <gtest/gtest.h>

#include "common/station_accounts.h"
#include "sipbridge/config/accounts_file.h"
#include "sipbridge/config/sip_address.h"
#include "sipbridge/config/ua_config.h"
#include "sipbridge/link/bridge_rules.h"
#include "sipbridge/link/call_book.h"
#include "sipbridge/link/command_plan.h"
#include "sipbridge/link/netstring.h"
#include "station_kit/station.h"

#include <string>
#include <vector>

TEST(Netstring, FramesComeWholeWhateverTheReadsCutThem)
{
    const std::string stream = netstring(R"({"event":true})") + netstring("") + netstring("a,b:c");
    EXPECT_EQ(stream, R"(14:{"event":true},0:,5:a,b:c,)");
    netstring_reader reader;
    std::vector<std::string> frames;
    for (char c : stream) {  // one byte per read: the worst cut there is
        reader.feed(&c, 1);
        while (auto frame = reader.next())
            frames.push_back(*frame);
    }
    EXPECT_EQ(frames, (std::vector<std::string>{R"({"event":true})", "", "a,b:c"}));
    EXPECT_FALSE(reader.broken());
}

TEST(Netstring, BrokenFramingIsNotGuessedAt)
{
    for (const std::string& bad : std::vector<std::string>{"x:ab,", ":ab,", "3:abcd", "-1:a,", "99999999999999999999:a,", "12a"}) {
        netstring_reader reader(1024);
        reader.feed(bad.data(), bad.size());
        EXPECT_FALSE(reader.next()) << bad;
        EXPECT_TRUE(reader.broken()) << bad;
        const std::string good = netstring("{}");
        reader.feed(good.data(), good.size());
        EXPECT_FALSE(reader.next()) << "a broken stream stays broken: " << bad;
    }
    netstring_reader small(4);
    const std::string long_frame = netstring("12345");
    small.feed(long_frame.data(), long_frame.size());
    EXPECT_FALSE(small.next());
    EXPECT_TRUE(small.broken()) << "a frame over the limit is refused before it is buffered whole";
}

TEST(BridgeRules, CloseReasonsAsTheStationComparesThem)
{
    EXPECT_EQ(station_close_reason("Connection reset by peer"), "Connection reset by peer [104]");
    for (const char* kept : {"Connection reset by user", "486 Busy Here", "603 Decline", "Connection timed out", ""})
        EXPECT_EQ(station_close_reason(kept), kept);
}

TEST(BridgeRules, DialIndexCountsTheEnabledAccountsFromZero)
{
    const auto view_of = [](std::initializer_list<int> numbers) {
        station_view view;
        for (int n : numbers)
            view.enabled.push_back({n, "h", "sip:u@h", "k"});
        return view;
    };
    const auto account_for_index = [](const station_view& view, long index) -> std::optional<int> {
        const station_account* account = view.by_index(index);
        return account ? std::optional<int>(account->number) : std::nullopt;
    };
    EXPECT_EQ(account_for_index(view_of({1, 2, 3}), 0), 1);
    EXPECT_EQ(account_for_index(view_of({1, 2, 3}), 2), 3);
    EXPECT_EQ(account_for_index(view_of({2, 3}), 0), 2);
    EXPECT_EQ(account_for_index(view_of({1, 3}), 1), 3);
    EXPECT_EQ(account_for_index(view_of({1}), 1), std::nullopt);
    EXPECT_EQ(account_for_index(view_of({}), 0), std::nullopt);
    EXPECT_EQ(account_for_index(view_of({1, 2, 3}), -1), std::nullopt);
}

TEST(BridgeRules, OnlyTrueUserPartsAreDialled)
{
    for (const char* ok : {"1001", "*21", "alice.smith", "a%20b", "+4930123", "1001;phone-context=x", "%23"})
        EXPECT_TRUE(valid_user_part(ok)) << ok;
    for (const std::string& bad : std::vector<std::string>{"", "10 01", "1001@evil", "sip:1001", "a\"b", "a%2", "a%zz", "line\nbreak",
                                  std::string("nul\0x", 5), "#21", "<1001>"})
        EXPECT_FALSE(valid_user_part(bad)) << bad;
}

TEST(BridgeRules, PlayTakesOnlyAnAbsolutePathOfTheDevice)
{
    const station_view accounts;
    const call_book calls;
    const auto plan_of = [&](const std::string& data) {
        return plan_command(parse_command(R"({"cmd":"play","data":")" + data + R"("})"), accounts, calls);
    };
    // mpg123 would fetch a URL, read its standard input for "-" and look up
    // a relative path wherever the bridge happens to run.
    for (const char* refused : {"http://host/x.mp3:1", "https://host:8443/x.mp3:2", "file:///userdata/alarm.mp3:1",
                                "userdata/alarm.mp3:1", "./alarm.mp3:1", "~/alarm.mp3:1", "-:1", " /userdata/a.mp3:1",
                                ":1"}) {
        const command_plan plan = plan_of(refused);
        EXPECT_FALSE(plan.play) << refused;
        EXPECT_TRUE(plan.requests.empty()) << refused;
        EXPECT_EQ(plan.refusal.rfind("play refused: ", 0), 0u) << refused << ": " << plan.refusal;
    }
    EXPECT_EQ(plan_of("http://host/x.mp3:1").refusal,
              "play refused: \"http://host/x.mp3\" is not an absolute path of a sound file");

    const command_plan plan = plan_of("/home/kovrin/target/share/sounds/en/a:b.mp3:3");
    EXPECT_TRUE(plan.play) << plan.refusal;
    EXPECT_EQ(plan.sound, "/home/kovrin/target/share/sounds/en/a:b.mp3");
    EXPECT_EQ(plan.count, 3);
}

TEST(BridgeRules, StatusTextsAreTheOnesTheStationReads)
{
    EXPECT_EQ(call_status_text(account_call_status::idle), R"({"status":"idle"})");
    EXPECT_EQ(call_status_text(account_call_status::outgoing_ringing), R"({"status":"ringing"})");
    EXPECT_EQ(call_status_text(account_call_status::incoming_ringing), R"({"status":"ring"})");
    EXPECT_EQ(call_status_text(account_call_status::answered), R"({"status":"answer"})");
}

TEST(BridgeRules, FirstRegistrationOfEachAccountIsTheInitialOne)
{
    registration_record record;
    EXPECT_EQ(record.register_class("sip:2000@127.0.0.1:15070"), "init register");
    EXPECT_EQ(record.register_class("sip:2000@127.0.0.1:15070"), "register") << "a refresh";
    EXPECT_EQ(record.register_class("sip:2001@127.0.0.1:15070"), "init register");
    record.forget_all();
    EXPECT_EQ(record.register_class("sip:2000@127.0.0.1:15070"), "init register") << "a new user agent";
}

TEST(BridgeRules, ListingShowsWhichAccountsAreRegistered)
{
    const std::string listing = "\n--- User Agents (3) ---\n"
                                "> sip:2000@127.0.0.1:15070   \x1b[32mOK \x1b[;m  Expires 60s\n"
                                "  sip:2001@127.0.0.1:15070   \x1b[31mERR\x1b[;m\n"
                                "  sip:2002@example.test      \x1b[32mOK \x1b[;m  Expires 3600s\n"
                                "  sip:2003@example.test      \x1b[31mERR\x1b[;m OK-PBX Expires 0s\n"
                                "  sip:2004@example.test      \x1b[33mzzz\x1b[;m\n\n";
    EXPECT_EQ(registered_in_listing(listing),
              (std::vector<std::string>{"sip:2000@127.0.0.1:15070", "sip:2002@example.test"}))
        << "a registrar's Server text that holds OK is no status";
    EXPECT_EQ(failed_in_listing(listing),
              (std::vector<std::string>{"sip:2001@127.0.0.1:15070", "sip:2003@example.test"}))
        << "one that still waits for its answer (zzz) has not failed";
    EXPECT_TRUE(registered_in_listing("").empty());
    EXPECT_TRUE(registered_in_listing("no accounts sip:x OK").empty()) << "only account lines count";
}

namespace {

settings_account account(const std::string& username, const std::string& domain, const std::string& server = "",
                         const std::string& password = "")
{
    settings_account a;
    a.n = 1;
    a.username = username;
    a.domain = domain;
    a.server = server;
    a.password = password;
    return a;
}

std::string refused_keys(const accounts_line& result)
{
    std::string keys;
    for (const setting_refusal& refusal : result.refusals)
        keys += (keys.empty() ? "" : " ") + refusal.key;
    return keys;
}

}  // namespace

TEST(AccountsFile, LinesCarryTheSettingsAndNothingElse)
{
    EXPECT_EQ(accounts_file_line(account("2000", "127.0.0.1:15070", "", "secret")).line,
              "<sip:2000@127.0.0.1:15070>;answermode=manual;regint=60;auth_pass=\"secret\"");
    EXPECT_EQ(accounts_file_line(account("2000", "", "10.0.0.9")).line, "<sip:2000@10.0.0.9>;answermode=manual;regint=60")
        << "the server stands in for an empty domain; no password, no authentication";
    EXPECT_EQ(accounts_file_line(account("2000", "example.test", "10.0.0.9", "pw")).line,
              "<sip:2000@example.test>;answermode=manual;regint=60;outbound=\"sip:10.0.0.9\";auth_pass=\"pw\"");
    EXPECT_EQ(accounts_file_line(account("2000", "example.test", "example.test")).line,
              "<sip:2000@example.test>;answermode=manual;regint=60");

    // A PBX account over TLS with SRTP, an authorization name and a proxy:
    // the transport goes with the proxy, not into the address of record
    // (whose parameters baresip appends to every number it dials).
    settings_account pbx = account("201", "pbx.example", "", "pw");
    pbx.transport = "TLS";
    pbx.auth_user = "ext201";
    pbx.regint = "300";
    pbx.mediaenc = "srtp-mand";
    pbx.outbound = "sip:edge.example:5061";
    EXPECT_EQ(accounts_file_line(pbx).line,
              "<sip:201@pbx.example>;answermode=manual;regint=300;auth_user=ext201;mediaenc=srtp-mand;"
              "outbound=\"sip:edge.example:5061;transport=tls\";auth_pass=\"pw\"");
    settings_account tcp = account("201", "pbx.example", "", "pw");
    tcp.transport = "tcp";
    EXPECT_EQ(accounts_file_line(tcp).line,
              "<sip:201@pbx.example>;answermode=manual;regint=60;outbound=\"sip:pbx.example;transport=tcp\";"
              "auth_pass=\"pw\"")
        << "without a proxy of its own the domain is the proxy that the transport goes with";
    pbx.transport = "udp";
    pbx.regint = "3";
    const accounts_line raised = accounts_file_line(pbx);
    EXPECT_NE(raised.line.find(";regint=10;"), std::string::npos) << "the floor";
    EXPECT_EQ(raised.line.find("transport"), std::string::npos) << "udp is the default, written as none";
    ASSERT_EQ(raised.notes.size(), 1u);
    EXPECT_NE(raised.notes[0].find("regint = 3 is raised to 10"), std::string::npos);
}

TEST(AccountsFile, ValuesThatWouldChangeTheLineAreRefusedByName)
{
    const auto with = [](const char* key, const std::string& value) {
        settings_account a = account("2000", "example.test", "", "pw");
        if (std::string(key) == "username") a.username = value;
        if (std::string(key) == "domain") a.domain = value;
        if (std::string(key) == "transport") a.transport = value;
        if (std::string(key) == "auth_user") a.auth_user = value;
        if (std::string(key) == "regint") a.regint = value;
        if (std::string(key) == "mediaenc") a.mediaenc = value;
        if (std::string(key) == "outbound") a.outbound = value;
        if (std::string(key) == "password") a.password = value;
        return accounts_file_line(a);
    };
    const std::vector<std::pair<const char*, std::string>> bad = {
        {"username", ""}, {"username", "20 00"}, {"username", "2000>;regint=1"}, {"domain", "evil>;x"},
        {"domain", "sip:pbx"}, {"transport", "sctp"}, {"auth_user", "a b"}, {"auth_user", "x;regint=1"},
        {"regint", "60s"}, {"regint", "-5"}, {"regint", "9999999"}, {"mediaenc", "zrtp"},
        {"outbound", "a b"}, {"password", "line\nbreak"}, {"password", "a\" b"},
        {"password", "x;regint=1"}, {"password", "x; medianat = ice"},
    };
    for (const auto& [key, value] : bad) {
        const accounts_line result = with(key, value);
        EXPECT_EQ(result.line, "") << key << " = " << value;
        EXPECT_EQ(refused_keys(result), key) << key << " = " << value;
    }
    settings_account prompt = account("2000", "example.test");
    prompt.auth_user = "ext";
    EXPECT_EQ(refused_keys(accounts_file_line(prompt)), "auth_user") << "baresip would ask for the password";

    // Every value at its longest: more than baresip reads of a line.
    const std::string long_host = std::string(61, 'h') + "." + std::string(60, 'h') + ".test";
    settings_account long_line = account(std::string(31, '2'), long_host, "", std::string(63, 'p'));
    long_line.outbound = long_host;
    long_line.auth_user = std::string(63, 'a');
    long_line.transport = "tls";
    long_line.mediaenc = "srtp-mand";
    long_line.regint = "999999";
    EXPECT_EQ(refused_keys(accounts_file_line(long_line)), "username") << "beyond what baresip reads of a line";
}

// baresip 1.0.0 reads a parameter value with a quote-aware scan and strips
// one pair of outer quotes; the password is written so that the scan gives
// it back exactly, whatever printable characters it holds.
TEST(AccountsFile, PasswordsOfAnyPrintableCharacterAreCarried)
{
    for (const std::string& password : {std::string("se;cr et"), std::string("back\\slash\\"),
                                        std::string("quo\"te"), std::string("\"both\""), std::string("a\\\" b"),
                                        std::string("#hash"), std::string("<angle>")}) {
        const accounts_line line = accounts_file_line(account("2000", "example.test", "", password));
        ASSERT_TRUE(line.refusals.empty()) << password;
        EXPECT_EQ(line.line.substr(line.line.find(";auth_pass=") + 11), *quoted_parameter(password));
    }
    EXPECT_EQ(quoted_parameter("se;cr et"), "\"se;cr et\"");
    EXPECT_FALSE(quoted_parameter("a\" b")) << "the quote leaves the blank outside quotes";
    EXPECT_FALSE(quoted_parameter("tab\there"));
}

TEST(AccountsFile, EnabledAccountsComeFromTheSettingsInTheirOrder)
{
    kit_root root;
    root_in_process in_root{root};
    root.write_settings("[account_info_1]\nenable = no\nusername = 1000\ndomain = a.test\n"
                        "[account_info_2]\nenable = yes\nusername = 2000\ndomain =\nserver = 10.0.0.9\npassword = pw\n"
                        "[account_info_3]\nenable = yes\nusername = 3000\ndomain = c.test\n");
    const std::vector<settings_account> accounts = enabled_settings_accounts();
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts_file_line(accounts[0]).line, "<sip:2000@10.0.0.9>;answermode=manual;regint=60;auth_pass=\"pw\"");
    EXPECT_EQ(accounts_file_line(accounts[1]).line, "<sip:3000@c.test>;answermode=manual;regint=60");
    EXPECT_EQ(accounts[1].n, 3);
}

// A sandbox without netlink cannot list the board's addresses: that is said
// as what it is, not taken for an eth0 without an address.
TEST(UaConfigPlan, BoardAddressesThatCannotBeReadAreSaidSo)
{
    board_addresses board;
    board.error = "Address family not supported by protocol";
    const auto read = [](const std::string&, std::string&) { return std::optional<std::string>(); };
    for (const std::string listen : {"", "10.0.2.15:5060"}) {
        sip_settings sip;
        sip.listen = listen;
        const ua_config_plan plan = plan_ua_config("ctrl_tcp_listen 127.0.0.1:4444\n", sip, {}, board, "/ua", read);
        ASSERT_EQ(plan.refusals.size(), 1u) << listen;
        EXPECT_EQ(plan.refusals.front().why,
                  "the board's addresses cannot be read (Address family not supported by protocol), so no listen "
                  "address can be checked")
            << listen;
    }
}
