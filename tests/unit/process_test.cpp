// The shells that the programs start, as a stranger's script would see
// them: nothing of the program's open files beyond the standard three.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "common/process.h"

TEST(RunShell, TheShellInheritsNoDescriptorBeyondTheStandardThree)
{
    // A descriptor opened without close-on-exec, as the settings parser
    // opens the settings, and set high so that no shell of its own uses it.
    const int plain = open("/dev/null", O_RDONLY);
    ASSERT_GE(plain, 0);
    const int high = dup2(plain, 57);
    ASSERT_EQ(high, 57);
    close(plain);

    EXPECT_EQ(run_shell("test -e /proc/$$/fd/0"), 0) << "the shell sees its own descriptors";
    EXPECT_EQ(run_shell("test ! -e /proc/$$/fd/57"), 0) << "the program's descriptor reached the shell";
    EXPECT_EQ(run_shell("exit 3"), 3 << 8) << "the status is the wait status, as from system()";
    close(high);
}
