// The wire's two ends against each other: what orvanel builds, the user
// agent and outputd read back as meant, and the dial index orvanel puts into
// a command names the account the user agent dials on.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/station_accounts.h"
#include "common/station_protocol.h"

TEST(StationProtocol, CommandsReadBackAsTheyWereBuilt)
{
    // Characters that JSON escapes or that the parser splits at, inside
    // numbers the user agent can dial.
    const std::vector<std::string> numbers{"1001", "*21#", "+4930123", "sip:2001@10.0.0.5;transport=udp",
                                           R"(10"01)", R"(a\b)", "0", "中文"};
    for (const std::string& number : numbers) {
        for (int index : {0, 2, 10}) {
            const ua_command dial = parse_command(dial_command_text(number, index));
            EXPECT_EQ(dial.kind, command_kind::dial) << number << " " << index << ": " << dial.problem;
            EXPECT_EQ(dial.number, number);
            EXPECT_FALSE(dial.p2p) << number;
            EXPECT_EQ(dial.account_index, index) << number;
        }
        const ua_command p2p = parse_command(p2p_dial_command_text(number));
        EXPECT_EQ(p2p.kind, command_kind::dial) << number;
        EXPECT_EQ(p2p.number, number);
        EXPECT_TRUE(p2p.p2p) << number << " has no index";
    }
    const std::string longest(longest_number, '7');
    EXPECT_EQ(parse_command(dial_command_text(longest, 1)).number, longest);

    const ua_command play = parse_command(play_command_text(R"(/snd/en/"a":b.mp3)", 3));
    EXPECT_EQ(play.kind, command_kind::play);
    EXPECT_EQ(play.sound, R"(/snd/en/"a":b.mp3)");
    EXPECT_EQ(play.count, "3");

    EXPECT_EQ(parse_command(accept_command).kind, command_kind::accept);
    EXPECT_EQ(parse_command(hangup_command).kind, command_kind::hangup);
    EXPECT_EQ(parse_command(hangupall_command).kind, command_kind::hangupall);
}

TEST(StationProtocol, AHostileNumberIsADialOrRefusedNeverAnotherCommand)
{
    const std::vector<std::string> numbers{R"(1001","cmd":"hangupall)", R"(1001"}{"cmd":"accept)", "1001\n0", "1001\t",
                                           std::string("10\x01" "01"), "\\u0000", "", std::string(longest_number + 1, '7')};
    for (const std::string& number : numbers) {
        for (const std::string& text : {dial_command_text(number, 0), p2p_dial_command_text(number)}) {
            const ua_command c = parse_command(text);
            EXPECT_TRUE(c.kind == command_kind::dial || c.kind == command_kind::malformed) << text;
            EXPECT_EQ(c.name, "dial") << text;
            if (c.kind == command_kind::dial) {
                EXPECT_TRUE(dialable(c.number)) << text;
            }
        }
    }
    // A quote breaks out of nothing: the whole text is the one number.
    const ua_command smuggler = parse_command(dial_command_text(R"(1001","cmd":"hangupall)", 0));
    EXPECT_EQ(smuggler.kind, command_kind::dial);
    EXPECT_EQ(smuggler.number, R"(1001","cmd":"hangupall)");
}

TEST(StationProtocol, AccountIndexAtItsEdges)
{
    EXPECT_EQ(account_index({false, true, true, true}, 1), 0);
    EXPECT_EQ(account_index({false, true, true, true}, 3), 2);
    EXPECT_EQ(account_index({false, false, false, true}, 3), 0) << "the only enabled account counts from 0";
    EXPECT_EQ(account_index({false, true, false, true}, 3), 1);
    EXPECT_EQ(account_index({false, true, false, true}, 2), -1) << "a disabled account has no index";
    EXPECT_EQ(account_index({false, false, false, false}, 1), -1);
    // Entry 0 is no account, and numbers beyond the table name none.
    for (int outside : {0, -1, 4, 1000})
        EXPECT_EQ(account_index({true, true, true, true}, outside), -1) << outside;
}

// For every choice of enabled accounts, the index orvanel dials with names
// the same account in the user agent's view, and no index names two.
TEST(StationProtocol, BothEndsAgreeOnEveryAccountsIndex)
{
    for (int mask = 0; mask < 8; ++mask) {
        enabled_account_flags enabled{};
        station_view view;
        for (int n = 1; n <= 3; ++n) {
            enabled[static_cast<std::size_t>(n)] = (mask >> (n - 1)) & 1;
            if (enabled[static_cast<std::size_t>(n)])
                view.enabled.push_back({n, "h", "sip:u@h", "k"});
        }
        for (int n = 1; n <= 3; ++n) {
            const int index = account_index(enabled, n);
            const station_account* account = view.by_index(index);
            if (enabled[static_cast<std::size_t>(n)]) {
                ASSERT_NE(account, nullptr) << "mask " << mask << " account " << n;
                EXPECT_EQ(account->number, n) << "mask " << mask;
            } else {
                EXPECT_EQ(index, -1);
                EXPECT_EQ(account, nullptr) << "mask " << mask << ": -1 names no account";
            }
        }
        EXPECT_EQ(view.by_index(static_cast<long>(view.enabled.size())), nullptr) << "mask " << mask;
    }
}

TEST(StationProtocol, RelayRequestsReadBackAndOddTextsNameNoOutput)
{
    std::optional<relay_request> r = parse_relay_request(relay_request_text(relay_output, true, R"(a"b\c)"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, relay_output);
    EXPECT_EQ(r->type, R"(a"b\c)");
    r = parse_relay_request(relay_request_text(relay_output, false, "slowToggle"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, output_off_type) << "off whatever the type";

    EXPECT_FALSE(parse_relay_request("not json"));
    EXPECT_FALSE(parse_relay_request(""));
    for (const char* odd : {R"({"id":5,"type":"On"})", R"({"id":"gpio135"})", R"({"id":"gpio135","type":null})",
                            "[1,2]", "7"}) {
        r = parse_relay_request(odd);
        ASSERT_TRUE(r) << odd << " is JSON";
        EXPECT_TRUE(r->id.empty() && r->type.empty()) << odd;
    }
}
