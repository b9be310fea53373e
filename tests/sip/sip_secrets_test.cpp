// The SIP password of the station's account leaves the settings only for the
// user agent's accounts file: not for the message log, the records, the
// keys of Redis or any program's console, in debug mode too, whatever
// happens in between (registration, a call, a failed write of the accounts,
// a refused command).
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "tests/sip/sip_station.h"

using SipSecrets = SipStation;

TEST_F(SipSecrets, ThePasswordIsInNoLogRecordOrConsole)
{
    const std::string password = "Pw-4hX9zQe7";
    std::string ini = settings();
    const std::size_t at = ini.find("password = secret\n");
    ASSERT_NE(at, std::string::npos) << ini;
    ini.replace(at, std::string("password = secret").size(), "password = " + password);
    start_registered(ini);

    const std::string accounts = root.read("/ua/accounts");
    EXPECT_NE(accounts.find(";auth_pass=\"" + password + "\""), std::string::npos) << "it is where it belongs";
    struct stat file {};
    ASSERT_EQ(::stat(root.file("/ua/accounts").c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);

    // A call that the far end answers and ends, and a command refused.
    tap(140);
    ASSERT_TRUE(wait_until([&] { return count_entries("SIP STATE,CALL CLOSED,Connection reset by peer [104]") == 1; }));
    client.command("LPUSH control-channel %s", std::string(R"({"cmd":"dial","data":"no number here 0"})"));
    ASSERT_TRUE(sip.bridge()->wait_output("dial refused"));
    wait_records(1);
    // Accounts written into a folder that is not there, and into one that is.
    kit_program failed(root, sipbridge_binary(), {"--write-accounts", root.file("/nowhere")});
    EXPECT_EQ(failed.wait_exit(5s), 1);
    std::filesystem::create_directories(root.file("/ua2"));
    kit_program written(root, sipbridge_binary(), {"--write-accounts", root.file("/ua2")});
    EXPECT_EQ(written.wait_exit(5s), 0);

    // Every file under the root: the records, the message log, each
    // program's console (orvanel, outputd, sipbridge, baresip, SIPp and its
    // traces), the user agent's own files; and what Redis holds.
    const std::set<std::string> holders = {root.file("/etc/speaker.conf"), root.file("/ua/accounts"),
                                           root.file("/ua2/accounts")};
    std::size_t searched = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
        if (!entry.is_regular_file() || holders.count(entry.path().string()))
            continue;
        ++searched;
        EXPECT_EQ(read_text_file(entry.path().string()).find(password), std::string::npos) << entry.path();
    }
    EXPECT_GT(searched, 20u);
    EXPECT_NE(root.read("/userdata/system.csv").find("SIP REGISTERED"), std::string::npos);
    EXPECT_NE(root.message_log(), "");
    const reply_ptr keys = client.command("KEYS *");
    ASSERT_TRUE(keys && keys->type == REDIS_REPLY_ARRAY);
    for (std::size_t i = 0; i < keys->elements; ++i) {
        const std::string key = keys->element[i]->str;
        EXPECT_EQ(client.get(key).value_or("").find(password), std::string::npos) << key;
    }
}
