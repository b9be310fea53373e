// On the device the kernel reports a level change as a priority event on the
// sysfs value file, and the watcher polls for it. Under a station root the
// value file is a regular file that the launcher rewrites in place, and the
// watcher waits for the rewrite to close instead. What follows the wake-up
// (seek, read two bytes, compare with the previous level) is the same.
#include "orvanel/keys/key_watchers.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/c_holders.h"
#include "common/oplog.h"
#include "common/process.h"
#include "common/station_root.h"
#include "orvanel/core/call_state.h"
#include "orvanel/keys/indicators.h"
#include "orvanel/keys/key_actions.h"
#include "orvanel/keys/key_self_test.h"
#include "orvanel/keys/tamper_key.h"
#include "orvanel/records/message_log.h"

namespace {

// poll() on one descriptor. A caught signal that interrupts it (the
// programs catch SIGPIPE and SIGXFSZ with a handler that does nothing)
// waits again rather than ending the watcher.
int poll_one(pollfd& pfd, int timeout_ms)
{
    int ready = 0;
    do
        ready = poll(&pfd, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    return ready;
}

// The value file and what the watcher waits on for its changes.
class level_source {
public:
    explicit level_source(const std::string& path)
    {
        // Under a root the watch is set before the file is opened, so a
        // launcher that sees the file open knows no rewrite can be missed.
        if (!station_root().empty()) {
            notify_fd_.reset(inotify_init1(IN_CLOEXEC));
            if (notify_fd_)
                inotify_add_watch(notify_fd_.get(), path.c_str(), IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF);
        }
        value_fd_.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    }

    int value_fd() const { return value_fd_.get(); }

    // False once the path names another file than the one opened, or none:
    // the platform unexported the line (and may have exported it again).
    bool still_current(const std::string& path) const
    {
        struct stat opened {}, named {};
        return value_fd_ && fstat(value_fd_.get(), &opened) == 0 && stat(path.c_str(), &named) == 0 &&
               opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
    }

    // 1 on a change, 0 on a time-out, -1 when waiting failed.
    int wait(int timeout_ms)
    {
        if (!notify_fd_)
            return wait_for_level_event(value_fd_.get(), timeout_ms);
        pollfd pfd{notify_fd_.get(), POLLIN, 0};
        const int ready = poll_one(pfd, timeout_ms);
        if (ready <= 0)
            return ready;
        char events[4096];
        if (read(notify_fd_.get(), events, sizeof events) <= 0)
            return 0;
        return 1;
    }

private:
    unique_fd value_fd_;
    unique_fd notify_fd_;
};

struct key_times {
    double press = 0;
    double release = 0;
};

const char* event_name(int line, const char* what, std::string& storage)
{
    storage = "KEY_GPIO" + std::to_string(line) + " " + what;
    return storage.c_str();
}

// A call key's press or release. Always records the new level.
void on_call_key_change(const key_watcher& w, int level, key_times& times)
{
    std::string name;
    if (level == 1) {
        times.release = now_seconds();
        write_oplog("BUTTON", event_name(w.line, "Release", name), "");
        key_action(w.key, times.release - times.press);
        return;
    }
    // The beep runs before the press is logged, so a held time starts after it.
    key_beep();
    write_oplog("BUTTON", event_name(w.line, "Press", name), "");
    if (key_test_mode == w.key) {
        report_key_test(w.key, true);
        set_led_state(w.key, LED_SELF_TEST_PASSED);
    }
    times.press = now_seconds();
}

// The tamper switch acts when it opens; closing is only recorded. False when
// the new level is not to be recorded.
bool on_tamper_change(int level)
{
    if (level != 1)
        return true;
    write_oplog("BUTTON", "KEY_GPIO3 trigger", "");
    if (key_test_mode == 3)
        report_key_test(3, true);
    return tamper_action();
}

// The level a value file reads now; 1 when it cannot be read.
int level_at(const std::string& path)
{
    char value = '1';
    const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd && read(fd.get(), &value, 1) != 1)
        value = '1';
    return value == '1' ? 1 : 0;
}

}  // namespace

int wait_for_level_event(int value_fd, int timeout_ms)
{
    pollfd pfd{value_fd, POLLPRI, 0};
    const int ready = poll_one(pfd, timeout_ms);
    if (ready <= 0)
        return ready;
    return (pfd.revents & POLLPRI) ? 1 : 0;
}

double now_seconds()
{
    // The monotonic clock: a clock step while a key is held (a time sync at
    // boot, say) must not turn a call into an IP announcement or the reverse.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1000000000.0;
}

void watch_key(const key_watcher& w)
{
    log_print(LEVEL_INFO, "thread %s is ready!\n", w.name);
    key_times times;
    const std::string path = station_path(gpio_value_path(w.line));
    // The call keys start released whatever their lines read. The tamper
    // switch starts from the level its line reads, taken before the file is
    // opened, so on a mounted station (the switch closed) the first opening
    // is acted on; a switch that is open at start acts once it has closed
    // and opened again.
    int previous = w.key == 3 ? level_at(path) : 1;
    std::unique_ptr<level_source> source = std::make_unique<level_source>(path);
    if (source->value_fd() < 0)
        log_print(LEVEL_ERROR, "cannot open %s, retrying every 10 s\n", path.c_str());

    const auto on_level = [&](int level) {
        if (level == previous)
            return;
        bool record = true;
        if (w.key == 3)
            record = on_tamper_change(level);
        else
            on_call_key_change(w, level, times);
        if (record)
            previous = level;
    };

    // Clear the pending change so the first wait is for a new one. A tamper
    // switch that moved since its level was taken has changed.
    char first[128];
    const ssize_t got = read(source->value_fd(), first, sizeof first);
    if (got >= 0)
        lseek(source->value_fd(), 0, SEEK_SET);
    if (w.key == 3 && got > 0)
        on_level(first[0] == '1' ? 1 : 0);

    bool outage = source->value_fd() < 0;
    for (;;) {
        const int fd = source->value_fd();
        const int changed = fd < 0 ? (sleep(10), 0) : source->wait(10000);
        if (changed < 0) {
            std::puts("npoll() faild! ");
            end_process(1);
        }
        if (!source->still_current(path)) {
            // The line went away, or came back as a new file: watch the new
            // one from its present level, without taking the difference for
            // a press or a release.
            source = std::make_unique<level_source>(path);
            if (source->value_fd() < 0) {
                if (!outage)
                    log_print(LEVEL_ERROR, "%s went away, retrying every 10 s\n", path.c_str());
                outage = true;
                continue;
            }
            char value[2];
            if (read(source->value_fd(), value, 2) >= 1)
                previous = value[0] == '1' ? 1 : 0;
            lseek(source->value_fd(), 0, SEEK_SET);
            log_print(LEVEL_NOTICE, "%s is back, watching it again\n", path.c_str());
            outage = false;
            continue;
        }
        if (changed == 0)
            continue;
        if (lseek(fd, 0, SEEK_SET) < 0) {
            std::perror("Error seeking to the beginning of the file");
            continue;
        }
        char value[2];
        if (read(fd, value, 2) != 2) {
            std::perror("Error reading GPIO value");
            continue;
        }
        on_level(value[0] == '1' ? 1 : 0);
    }
}

void Check_Button_GPIO140()
{
    watch_key(key1_watcher);
}

void Check_Button_GPIO67()
{
    watch_key(key2_watcher);
}

void Check_Button_GPIO3()
{
    watch_key(tamper_watcher);
}
