// The kit's blocks of loopback ports: a block stays a test's own from the
// moment it is handed out until the test ends, although the ports are only
// taken later, by the programs the test starts.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/c_holders.h"
#include "station_kit/sip_stack.h"

TEST(KitPorts, ABlockHandedToARunningTestIsNotHandedOutAgain)
{
    // The child goes on from the same next block as this process, as two
    // tests do when their starting blocks meet: it takes that block and
    // holds it, unbound, while this process asks for one.
    free_port_block(1);
    int to_parent[2];
    int to_child[2];
    ASSERT_EQ(::pipe(to_parent), 0);
    ASSERT_EQ(::pipe(to_child), 0);
    unique_fd parent_reads(to_parent[0]), child_writes(to_parent[1]);
    unique_fd child_reads(to_child[0]), parent_writes(to_child[1]);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        parent_writes.reset();
        int base = -1;
        try {
            base = free_port_block(4);
        } catch (...) {
        }
        char done = 0;
        if (::write(child_writes.get(), &base, sizeof base) == sizeof base)
            (void)::read(child_reads.get(), &done, 1);
        ::_exit(0);
    }
    child_writes.reset();
    child_reads.reset();
    int child_base = -1;
    ASSERT_EQ(::read(parent_reads.get(), &child_base, sizeof child_base), static_cast<ssize_t>(sizeof child_base));
    const int own_base = free_port_block(4);
    parent_writes.reset();
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_GE(child_base, 0);
    EXPECT_NE(own_base, child_base);
}
