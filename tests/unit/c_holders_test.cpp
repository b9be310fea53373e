#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "common/c_holders.h"

namespace {

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

int open_null()
{
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

TEST(FileDescriptorOwner, ClosesAtScopeEndAndAfterAMoveOnlyOnce)
{
    int fd = -1;
    {
        unique_fd first(open_null());
        fd = first.get();
        ASSERT_GE(fd, 0);
        unique_fd second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), fd);
        EXPECT_TRUE(is_open(fd)) << "a move must not close the descriptor";
    }
    EXPECT_FALSE(is_open(fd));
}

TEST(FileDescriptorOwner, ResetAndAssignmentCloseTheOldDescriptor)
{
    unique_fd owner(open_null());
    const int old = owner.get();
    owner.reset(open_null());
    // The new descriptor is opened while the old one is held, so they differ.
    EXPECT_FALSE(is_open(old));

    const int replaced = owner.get();
    unique_fd other(open_null());
    const int kept = other.get();
    owner = std::move(other);
    EXPECT_EQ(owner.get(), kept);
    EXPECT_TRUE(is_open(kept));
    EXPECT_FALSE(is_open(replaced));

    const int released = owner.release();
    EXPECT_FALSE(owner);
    EXPECT_TRUE(is_open(released)) << "a released descriptor belongs to the caller";
    close(released);
}

TEST(CHolders, APipeOpenedCloseOnExecReadsTheCommandsOutput)
{
    const pipe_ptr pipe(popen("echo held", "re"));
    ASSERT_TRUE(pipe);
    EXPECT_NE(fcntl(fileno(pipe.get()), F_GETFD) & FD_CLOEXEC, 0);
    char line[16] = {};
    ASSERT_NE(std::fgets(line, sizeof line, pipe.get()), nullptr);
    EXPECT_STREQ(line, "held\n");
}
