#include "sipbridge/link/relay_watch.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <memory>

#include "common/c_holders.h"
#include "common/file_text.h"
#include "common/station_root.h"
#include "tlsrelay/relay_plan.h"
#include "tlsrelay/relay_verdicts.h"

namespace {

constexpr int folder_retry_ms = 60 * 1000;
constexpr std::size_t verdict_limit = 4096;

// A verdict older than this is of an attempt the user agent has given up
// on: it has said so itself.
constexpr long long fresh_seconds = 120;

void take_verdict(const std::string& path,
                  const std::function<void(const std::string&, const std::string&)>& refused)
{
    std::string error;
    const std::optional<std::string> text = read_file_text(path, verdict_limit, error);
    if (!text)
        return;
    const std::optional<relay_verdict> verdict = parse_verdict_line(*text);
    if (!verdict || static_cast<long long>(std::time(nullptr)) - verdict->time > fresh_seconds)
        return;
    if (const std::optional<std::string> reason = verdict_failure_reason(*verdict))
        refused(verdict->destination, *reason);
}

// The verdicts already there when the watch begins: the relay may have
// refused a server before this thread watched (the user agent connects
// as it starts, the bridge after it).
void take_present_verdicts(const std::string& folder,
                           const std::function<void(const std::string&, const std::string&)>& refused)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.rfind("verdict-", 0) == 0)
            take_verdict(folder + "/" + name, refused);
    }
}

}  // namespace

void watch_relay_verdicts(const std::function<void(const std::string&, const std::string&)>& refused)
{
    const std::string folder = station_path(relay_run_dir);
    for (;;) {
        const unique_fd events(::inotify_init1(IN_CLOEXEC));
        // The relay writes each verdict whole and renames it into place; the
        // folder goes when the relay stops.
        if (!events || ::inotify_add_watch(events.get(), folder.c_str(), IN_MOVED_TO | IN_DELETE_SELF) < 0) {
            pollfd none {-1, 0, 0};
            ::poll(&none, 1, folder_retry_ms);
            continue;
        }
        take_present_verdicts(folder, refused);
        bool watching = true;
        while (watching) {
            alignas(inotify_event) char buffer[4096];
            const ssize_t got = ::read(events.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->mask & (IN_DELETE_SELF | IN_IGNORED)) {
                    watching = false;
                    break;
                }
                const std::string name = event->len > 0 ? event->name : "";
                if (name.rfind("verdict-", 0) == 0)
                    take_verdict(folder + "/" + name, refused);
            }
        }
    }
}
