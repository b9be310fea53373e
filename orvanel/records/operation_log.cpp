// write_opnlog owns a Redis connection of its own and blocks on it for up to
// a minute; it repairs the connection when Redis goes away and the entries
// wait in the list meanwhile. Each entry moves onto the writer's processing
// list as it is taken and leaves it only once its line is synced, so a kill
// of the program loses none (the one in flight is written again at the next
// start). Each line goes to the site log too, once it is in the file
// (site_log.h). Entries are paced at five a second. Entries from other programs
// are made one line here, as write_oplog makes this program's own.
#include "orvanel/records/operation_log.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "common/process.h"
#include "common/record_text.h"
#include "common/redis_link.h"
#include "common/station_protocol.h"
#include "common/station_root.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/record_file.h"
#include "orvanel/records/record_log.h"
#include "orvanel/records/site_log.h"

namespace {

// Makes the file the logger's one sink, opening it at once so a file that
// cannot be opened is reported before the first entry comes.
void use_operation_log(record_file& file)
{
    record_log_clear_sinks();
    record_log_add_file(&file, RECORD_INFO);
    file.open();
}

}  // namespace

void push_oplog_entry(const std::string& entry)
{
    redis_run(writelog_push, entry);
}

void write_opnlog()
{
    processing_list entries{writelog_list, writelog_processing, writelog_sequence_key};
    site_log site(writelog_sequence_key);
    redis_ptr connection = redis_open_device(blocking_read_timeout);
    record_file file(operation_log_file);
    use_operation_log(file);
    refused_pops refused(writelog_list, log_refused_pop);
    // Storage that is full, read-only or gone keeps the entry on the
    // processing list; it is tried again every 5 s, and the entries behind it
    // wait in order.
    storage_outage storage("the entry");
    for (;;) {
        if (!redis_usable(connection.get()))
            connection = redis_reconnect(blocking_read_timeout);
        // An entry left by a writer that was ended before it was done comes
        // first, so the order stays.
        if (const std::optional<std::string> taken = entries.next(connection.get(), refused)) {
            const std::string& entry = *taken;
            if (debug_mode && !storage.in_run())
                std::printf("opnLog [%s]\n", one_line(entry).c_str());
            if (entry == "log_clean") {
                // Whoever cleans the log moves or deletes the file; it is
                // reopened (or made anew) after a pause.
                entries.finish(connection.get(), entry);
                record_log_clear_sinks();
                file.close();
                std::this_thread::sleep_for(std::chrono::seconds(5));
                use_operation_log(file);
                continue;
            }
            // The number first: a line in the file always has its number,
            // and goes out under it again when it is written again.
            const std::optional<std::int64_t> number = site.number(connection.get(), entry);
            if (!number)
                continue;
            const std::string line = one_line(entry);
            record_log(RECORD_INFO, "main", 2818, "%s", line.c_str());
            if (storage.refused(file))
                continue;
            site.send_entry(line, *number);
            entries.finish(connection.get(), entry);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}
