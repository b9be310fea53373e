// sipbridge --write-accounts as it is attacked: the accounts file holds the
// SIP passwords, so it is readable by its owner alone, is never written
// through a link that someone planted in the folder, and belongs to the
// folder's owner (the user agent's user) when root writes it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "station_kit/other_user.h"
#include "station_kit/sip_stack.h"
#include "tests/integration/running_station.h"

namespace {

const std::string password = "Pw-7rT2kLm9";

struct stat status_of(const std::string& path)
{
    struct stat s {};
    ::lstat(path.c_str(), &s);
    return s;
}

}  // namespace

class WriteAccounts : public RunningStation {
protected:
    void SetUp() override
    {
        root.write_settings("[account_info_1]\nenable = yes\nusername = 2000\ndomain = 192.0.2.10\npassword = " +
                            password + "\n");
        std::filesystem::create_directories(dir);
    }

    // The command's exit status; its console in `said`.
    int write_accounts()
    {
        kit_program writer(root, sipbridge_binary(), {"--write-accounts", dir});
        const std::optional<int> status = writer.wait_exit(5s);
        said = writer.output() + writer.errors();
        return status.value_or(-1);
    }

    // The names in the folder other than the ones given.
    std::vector<std::string> other_names(const std::set<std::string>& known) const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (!known.count(entry.path().filename().string()))
                names.push_back(entry.path().filename().string());
        return names;
    }

    const std::string dir = root.file("/ua");
    std::string said;
};

TEST_F(WriteAccounts, OnlyItsOwnerReadsIt)
{
    root.write("/ua/accounts", "old\n");
    ASSERT_EQ(::chmod(root.file("/ua/accounts").c_str(), 0644), 0);
    ASSERT_EQ(write_accounts(), 0) << said;
    EXPECT_NE(root.read("/ua/accounts").find(";auth_pass=\"" + password + "\""), std::string::npos);
    EXPECT_EQ(status_of(root.file("/ua/accounts")).st_mode & 07777, 0600u) << "an old 0644 file is replaced";
    EXPECT_EQ(status_of(root.file("/ua/contacts")).st_mode & 07777, 0600u);
    EXPECT_EQ(other_names({"accounts", "contacts"}), std::vector<std::string> {}) << "no temporary file is left";
    EXPECT_EQ(said.find(password), std::string::npos) << said;
}

// Links to files of the writer's reach, at the accounts file, at the name
// the file was once made under, and at the contacts file (there pointing at
// a file that is not there yet, which a careless open would make).
TEST_F(WriteAccounts, PlantedLinksAreNotFollowed)
{
    root.write("/etc/important", "keep\n");
    root.write("/etc/important2", "keep too\n");
    const std::string absent = root.file("/etc/made-by-the-writer");
    std::filesystem::create_symlink(root.file("/etc/important"), dir + "/accounts");
    std::filesystem::create_symlink(root.file("/etc/important2"), dir + "/accounts.new");
    std::filesystem::create_symlink(absent, dir + "/contacts");

    ASSERT_EQ(write_accounts(), 0) << said;
    EXPECT_EQ(root.read("/etc/important"), "keep\n");
    EXPECT_EQ(root.read("/etc/important2"), "keep too\n");
    EXPECT_FALSE(std::filesystem::exists(absent)) << "the dangling link at contacts made its target";
    EXPECT_TRUE(S_ISREG(status_of(dir + "/accounts").st_mode)) << "the link itself is replaced by the file";
    EXPECT_NE(root.read("/ua/accounts").find(";auth_pass=\"" + password + "\""), std::string::npos);
    EXPECT_TRUE(S_ISLNK(status_of(dir + "/accounts.new").st_mode));
}

// Root writes it for baresip's user, whose folder it is.
TEST_F(WriteAccounts, RootGivesItToTheFoldersOwner)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "\n*** NOT TESTED: giving a file away needs root ***\n";
    ASSERT_EQ(::chown(dir.c_str(), nobody_uid, nobody_uid), 0);
    ASSERT_EQ(write_accounts(), 0) << said;
    for (const char* name : {"/accounts", "/contacts"}) {
        const struct stat file = status_of(dir + name);
        EXPECT_EQ(file.st_uid, nobody_uid) << name;
        EXPECT_EQ(file.st_gid, nobody_uid) << name;
        EXPECT_EQ(file.st_mode & 07777, 0600u) << name;
    }
}

// A file that cannot take the place of the old one (here a folder is in its
// way): nothing is left behind, and the failure is said, without the
// password.
TEST_F(WriteAccounts, AFailedWriteLeavesNoTrace)
{
    root.write("/ua/accounts/in-the-way", "old\n");
    EXPECT_EQ(write_accounts(), 1);
    EXPECT_NE(said.find("sipbridge: cannot write " + dir + "/accounts: Is a directory"), std::string::npos) << said;
    EXPECT_EQ(root.read("/ua/accounts/in-the-way"), "old\n");
    EXPECT_EQ(other_names({"accounts"}), std::vector<std::string> {});
    EXPECT_EQ(said.find(password), std::string::npos) << said;

    std::filesystem::remove_all(dir);
    EXPECT_EQ(write_accounts(), 1);
    EXPECT_NE(said.find("sipbridge: cannot open the folder " + dir + ": No such file or directory"), std::string::npos)
        << said;
}
