// The device's wait for a key's level change (POLLPRI on the line's sysfs
// value file), which a station root replaces with a watch on the file. The
// stand-in is a TCP connection over the loopback: urgent data raises POLLPRI
// on the receiving end as a level change does on the value file, while
// ordinary data only makes it readable, as the value file always is.
#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/c_holders.h"
#include "orvanel/keys/key_watchers.h"
#include "station_kit/root.h"
#include "station_kit/waits.h"

namespace {

struct line_stand_in {
    unique_fd value;   // the end the watcher waits on
    unique_fd kernel;  // the end that raises the events
};

line_stand_in connected_stand_in()
{
    line_stand_in s;
    const unique_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener || bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return s;
    // The listener is ready, so the connection completes at once or is refused.
    s.kernel.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.kernel || connect(s.kernel.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return s;
    s.value.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    return s;
}

bool raise_level_change(const line_stand_in& s)
{
    return send(s.kernel.get(), "!", 1, MSG_OOB) == 1;
}

std::atomic<int> interruptions{0};

void count_interruption(int)
{
    interruptions.fetch_add(1);
}

// The state letter of one of this process's threads ('S': asleep in a call).
char thread_state(pid_t tid)
{
    const std::string stat = read_text_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
}

}  // namespace

TEST(DeviceKeyWait, AChangeWakesTheWaitAndNothingElseDoes)
{
    const line_stand_in line = connected_stand_in();
    ASSERT_TRUE(line.value && line.kernel);
    EXPECT_EQ(wait_for_level_event(line.value.get(), 50), 0) << "nothing happened";
    ASSERT_EQ(send(line.kernel.get(), "1\n", 2, 0), 2);
    EXPECT_EQ(wait_for_level_event(line.value.get(), 50), 0) << "a readable file is no change";
    ASSERT_TRUE(raise_level_change(line));
    EXPECT_EQ(wait_for_level_event(line.value.get(), 5000), 1);
}

// A caught signal (the programs catch SIGPIPE and SIGXFSZ) that reaches the
// watcher's thread while it waits must not end the wait as a failure, which
// would end orvanel.
TEST(DeviceKeyWait, ASignalDuringTheWaitDoesNotEndIt)
{
    const line_stand_in line = connected_stand_in();
    ASSERT_TRUE(line.value && line.kernel);
    struct sigaction action {}, previous {};
    action.sa_handler = count_interruption;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    std::atomic<pid_t> waiter_tid{0};
    std::atomic<int> result{-2};
    std::thread waiter([&] {
        waiter_tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = wait_for_level_event(line.value.get(), 10000);
    });
    const pthread_t waiter_handle = waiter.native_handle();
    // Asleep means in the wait: the thread does nothing else that blocks.
    const bool asleep = wait_until([&] { return waiter_tid != 0 && thread_state(waiter_tid) == 'S'; });
    pthread_kill(waiter_handle, SIGUSR1);
    const bool interrupted = wait_until([] { return interruptions.load() > 0; });
    const bool raised = raise_level_change(line);
    waiter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(asleep);
    EXPECT_TRUE(interrupted);
    ASSERT_TRUE(raised);
    EXPECT_EQ(result, 1) << "the signal ended the wait";
}
