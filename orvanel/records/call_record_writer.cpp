#include "orvanel/records/call_record_writer.h"

#include <deque>
#include <mutex>
#include <optional>

#include "common/record_text.h"
#include "common/redis_link.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/records/call_records.h"
#include "orvanel/records/message_log.h"
#include "orvanel/records/record_file.h"

namespace {

// Lines that Redis has not taken yet. The lock also keeps the pushes of the
// event thread and of write_cdr apart, so the lines reach the list in the
// order of the calls; it is held over a push only, which its connection's
// time-out bounds.
std::mutex hand_over_lock;
std::deque<std::string> held;
bool held_reported = false;

// Pushes the held lines, oldest first, until one does not go: `push` sends
// one line and gives the reply, or null. The caller holds hand_over_lock.
template <typename Push>
void push_held(Push push)
{
    while (!held.empty()) {
        const reply_ptr reply = push(held.front());
        if (!reply || reply->type != REDIS_REPLY_INTEGER) {
            if (!held_reported)
                log_print(LEVEL_ERROR, "Redis does not take the call record: keeping it in memory until it does\n");
            held_reported = true;
            return;
        }
        held.pop_front();
    }
    if (held_reported)
        log_print(LEVEL_NOTICE, "the call records kept in memory are in Redis again\n");
    held_reported = false;
}

}  // namespace

void hand_over_call_record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(hand_over_lock);
    held.push_back(line);
    if (held.size() > cdr_held_max) {
        log_print(LEVEL_ERROR, "call records: %zu lines kept, dropping the oldest: %s\n", cdr_held_max,
                  held.front().c_str());
        held.pop_front();
    }
    // A push that timed out may still be carried out by a server that was
    // only stalled; the line is kept all the same, since a record twice is
    // better than none.
    push_held([](const std::string& l) {
        return redis_pool ? redis_pool->run(cdr_push, l) : nullptr;
    });
}

std::vector<std::string> held_call_records()
{
    std::lock_guard<std::mutex> lock(hand_over_lock);
    return {held.begin(), held.end()};
}

void drop_held_call_records()
{
    std::lock_guard<std::mutex> lock(hand_over_lock);
    held.clear();
    held_reported = false;
}

call_record_writer::call_record_writer()
    : connection_(redis_open_device(blocking_read_timeout)), refused_(cdr_list, log_refused_pop)
{
}

void call_record_writer::pass()
{
    if (!redis_usable(connection_.get()))
        connection_ = redis_reconnect(blocking_read_timeout);
    {
        std::lock_guard<std::mutex> lock(hand_over_lock);
        if (!held.empty())
            push_held([c = connection_.get()](const std::string& l) {
                return redis_command(c, "LPUSH %s %b", cdr_list, l.data(), l.size());
            });
    }
    // A line left by a writer that was ended before it was done comes
    // first, so the order stays.
    const std::optional<std::string> taken = lines_.next(connection_.get(), refused_);
    if (!taken)
        return;
    // Opened for each line: other software may move the file away between
    // calls. The line is made one line again, as it may come from another
    // program.
    record_file file(call_records_file);
    const std::string line = one_line(*taken);
    const std::optional<std::int64_t> number = site_.number(connection_.get(), *taken);
    if (!number)
        return;
    // A writer that was ended between the sync and the removal left a line
    // that the file holds already, as its last: it is not written twice,
    // but goes to the site log again under its number, since the writer
    // may have ended before it went there. Each record has its own times,
    // so no other record is the same.
    if (!(lines_.took_left_over && file.ends_with(line + "\n"))) {
        file.append(line + "\n");
        if (storage_.refused(file))
            return;
    }
    site_.send_record(line, *number);
    lines_.finish(connection_.get(), *taken);
}

void write_cdr()
{
    call_record_writer writer;
    for (;;)
        writer.pass();
}
