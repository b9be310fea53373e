#include "orvanel/core/dial.h"
#include "tests/integration/in_process.h"

class DialRequests : public InProcessStation {
protected:
    void accounts(bool e1, bool e2, bool e3)
    {
        auto yes = [](bool e) { return e ? "yes" : "no"; };
        root.write_settings(std::string("[account_info_1]\nenable = ") + yes(e1) + "\n[account_info_2]\nenable = " +
                            yes(e2) + "\n[account_info_3]\nenable = " + yes(e3) + "\n");
    }
    void registered(int r1, int r2, int r3)
    {
        account_flag(1) = r1;
        account_flag(2) = r2;
        account_flag(3) = r3;
    }
    // Whatever reached control-channel, oldest first.
    std::vector<std::string> commands()
    {
        auto items = client.list("control-channel");
        return {items.rbegin(), items.rend()};
    }
};

TEST_F(DialRequests, EnabledAccountsCountFromZero)
{
    accounts(true, false, true);
    account_list list;
    enabled_accounts(list);
    EXPECT_EQ(list[1], 0);
    EXPECT_EQ(list[2], -1);
    EXPECT_EQ(list[3], 1);
}

TEST_F(DialRequests, AutoLineTakesTheFirstRegisteredAccount)
{
    accounts(true, true, false);
    registered(0, 1, 0);
    EXPECT_TRUE(dial_number("1001", 1, true));
    registered(0, 0, 0);
    EXPECT_FALSE(dial_number("1002", 1, true)) << "nothing registered";
    accounts(false, false, false);
    registered(1, 0, 0);
    EXPECT_FALSE(dial_number("1003", 1, true)) << "registered but no longer enabled";
    EXPECT_EQ(commands(), std::vector<std::string>{R"({"cmd":"dial","data":"1001 1"})"});
}

TEST_F(DialRequests, AccountLinesNeedEnabledAndRegistered)
{
    accounts(true, true, true);
    registered(1, 0, 1);
    EXPECT_TRUE(dial_number("2001", 2, false));
    EXPECT_FALSE(dial_number("2002", 3, false)) << "account 2 enabled but not registered";
    EXPECT_TRUE(dial_number("2003", 4, false));

    accounts(true, false, true);
    EXPECT_TRUE(dial_number("2004", 4, false)) << "account 3 is the second enabled account";
    EXPECT_FALSE(dial_number("2005", 0, false));
    EXPECT_FALSE(dial_number("2006", 6, false));
    EXPECT_EQ(commands(), (std::vector<std::string>{R"({"cmd":"dial","data":"2001 0"})",
                                                    R"({"cmd":"dial","data":"2003 2"})",
                                                    R"({"cmd":"dial","data":"2004 1"})"}));
}

TEST_F(DialRequests, P2pLineIgnoresRegistrations)
{
    accounts(false, false, false);
    EXPECT_TRUE(dial_number("1001", 5, false));
    EXPECT_TRUE(dial_number("192.168.1.30", 5, false));
    EXPECT_EQ(commands(), (std::vector<std::string>{R"({"cmd":"dial","data":"1001"})",
                                                    R"({"cmd":"dial","data":"192.168.1.30"})"}));
}

TEST_F(DialRequests, JsonBreakingNumberArrivesEscaped)
{
    accounts(true, false, false);
    registered(1, 0, 0);
    EXPECT_TRUE(dial_number(R"(1001","cmd":"hangupall)", 2, false));
    EXPECT_TRUE(dial_number(R"(a\b)", 5, false));
    EXPECT_EQ(commands(), (std::vector<std::string>{R"({"cmd":"dial","data":"1001\",\"cmd\":\"hangupall 0"})",
                                                    R"({"cmd":"dial","data":"a\\b"})"}));
}

TEST_F(DialRequests, EchoPrintsTheDialTextInDebugMode)
{
    accounts(true, false, false);
    registered(1, 0, 0);
    debug_mode = 1;
    testing::internal::CaptureStdout();
    dial_number("1001", 1, true);
    dial_number("1002", 2, false);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ACCOUNT1 is 1, ACCOUNT2 is 0, ACCOUNT3 is 0\n"), std::string::npos);
    EXPECT_NE(out.find(R"(dial [{"cmd":"dial","data":"1001 0"}])"), std::string::npos);
    EXPECT_EQ(out.find("dial [{\"cmd\":\"dial\",\"data\":\"1002"), std::string::npos) << "no echo asked";
    EXPECT_NE(out.find(R"(control-channel [{"cmd":"dial","data":"1002 0"}])"), std::string::npos);
}

TEST(AccountLabels, NameEachLine)
{
    EXPECT_STREQ(account_label(1), "Auto");
    EXPECT_STREQ(account_label(2), "Primary SIP Account");
    EXPECT_STREQ(account_label(3), "Secondary SIP Account-1");
    EXPECT_STREQ(account_label(4), "Secondary SIP Account-2");
    EXPECT_STREQ(account_label(5), "P2P ACCOUNT");
    EXPECT_STREQ(account_label(0), "");
    EXPECT_STREQ(account_label(-1), "");
}
