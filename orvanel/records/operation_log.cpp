// write_opnlog owns a Redis connection of its own and blocks on it for up to
// a minute; it repairs the connection when Redis goes away and the entries
// wait in the list meanwhile. Each entry moves onto the writer's processing
// list as it is taken and leaves it only once its line is synced, so a kill
// of the program loses none (the one in flight is written again at the next
// start). Entries are paced at five a second. Entries from other programs
// are made one line here, as write_oplog makes this program's own.
#include "orvanel/records/operation_log.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "common/c_holders.h"
#include "common/process.h"
#include "common/record_text.h"
#include "common/redis_link.h"
#include "common/station_root.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/record_log.h"

namespace {

// Opens the file and makes it the logger's one sink. When storage is missing
// or read-only the writer waits and tries again, and the entries stay in the
// Redis list until they can be written.
file_ptr open_operation_log()
{
    const std::string path = station_path(operation_log_file);
    for (bool reported = false;; reported = true) {
        file_ptr file(std::fopen(path.c_str(), "ae"));
        if (file) {
            record_log_clear_sinks();
            record_log_add_file(file.get(), RECORD_INFO);
            return file;
        }
        if (!reported)
            std::fprintf(stderr, "cannot open %s, retrying\n", path.c_str());
        std::this_thread::sleep_for(std::chrono::seconds(5));
    }
}

}  // namespace

void push_oplog_entry(const std::string& entry)
{
    redis_run("LPUSH writelog-channel %s", entry);
}

void write_opnlog()
{
    const processing_list entries{"writelog-channel", "writelog-processing"};
    redis_ptr connection = redis_open_device(blocking_read_timeout);
    file_ptr file = open_operation_log();
    refused_pops refused("writelog-channel", log_refused_pop);
    for (;;) {
        if (!redis_usable(connection.get()))
            connection = redis_reconnect(blocking_read_timeout);
        // An entry left by a writer that was ended before it was done comes
        // first, so the order stays.
        if (const std::optional<std::string> taken = entries.next(connection.get(), refused)) {
            const std::string& entry = *taken;
            if (debug_mode)
                std::printf("opnLog [%s]\n", entry.c_str());
            if (entry == "log_clean") {
                // Whoever cleans the log moves or deletes the file; it is
                // reopened (or made anew) after a pause.
                entries.finish(connection.get(), entry);
                record_log_clear_sinks();
                file.reset();
                std::this_thread::sleep_for(std::chrono::seconds(5));
                file = open_operation_log();
                continue;
            }
            record_log(RECORD_INFO, "main", 2818, "%s", one_line(entry).c_str());
            entries.finish(connection.get(), entry);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}
