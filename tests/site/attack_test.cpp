// The site log as another local user attacks it: only the station's group
// may send into the instance's socket (a forged entry would reach the site
// as the station's), and the instance's files (its configuration, its copy
// of the CA, its queue of entries and call records) are its own, unreadable
// by others even where a folder above them is left open.
#include "tests/site/site_station.h"

#include <sys/stat.h>

#include <filesystem>

namespace {

constexpr uid_t nobody = 65534;
// The station's group in the test: a group that nobody is not in.
constexpr gid_t station_group = 4242;

}  // namespace

TEST_F(SiteStation, OtherUsersCannotSendOrReadTheQueue)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can act as another user: run the site tests as root to attack the site log";
    ASSERT_TRUE(start_pair(certificate)) << report();
    // The root's folders above the socket's are open to all, so that what
    // guards the socket is its own folder, as the package makes it: 0750,
    // the instance's user and the station's group.
    for (const char* folder : {"", "/run", "/userdata", "/var", "/var/lib"})
        ASSERT_EQ(::chmod(root.file(folder).c_str(), 0755), 0) << folder;
    ASSERT_EQ(::chown(root.file("/run/station-sitelog").c_str(), 0, station_group), 0);

    const std::string forged = entry_message(7, "FUNCTION,RELAY Request,forged by another user");
    EXPECT_EQ(send_datagram_as(nobody, nobody, root, forged), std::optional<int>(EACCES));
    // A member of the station's group (orvanel's user) reaches it.
    const std::string genuine = entry_message(8, "FUNCTION,RELAY Request,from the station's group");
    EXPECT_EQ(send_datagram_as(nobody, station_group, root, genuine), std::optional<int>(0));
    ASSERT_TRUE(server.wait_for([&](const auto& lines) { return !lines.empty(); }, 10s)) << report();
    EXPECT_EQ(server.received(), std::vector<std::string> {genuine}) << report();

    // Messages kept while the server is away lie in the queue's files.
    server.stop();
    ASSERT_EQ(send_datagram(root, entry_message(9, "kept in the queue")), 0);
    ASSERT_TRUE(wait_until([&] { return !std::filesystem::is_empty(station.queue_dir()); }, 5s));
    for (const std::string& folder : {station.queue_dir(), root.file("/var/lib/station-sitelog")}) {
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0077, 0u) << folder;
        EXPECT_EQ(open_as(nobody, nobody, folder), std::optional<int>(EACCES)) << folder;
        // Even with the folder open, no file in it is another's to read.
        ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            // (rsyslogd writes its queue's index anew under another name
            // and renames it: one listed a moment ago may be gone, and a
            // gone file's mode reads "unknown".)
            std::error_code gone;
            const std::filesystem::file_status status = std::filesystem::status(entry.path(), gone);
            if (!gone && std::filesystem::exists(status)) {
                EXPECT_EQ(status.permissions() & std::filesystem::perms::others_all, std::filesystem::perms::none)
                    << entry.path();
            }
            const std::optional<int> opened = open_as(nobody, nobody, entry.path().string());
            EXPECT_TRUE(opened == std::optional<int>(EACCES) ||
                        (opened == std::optional<int>(ENOENT) && !std::filesystem::exists(entry.path())))
                << entry.path() << ": " << opened.value_or(-1);
        }
    }
}
