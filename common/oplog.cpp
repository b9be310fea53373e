#include "common/oplog.h"

#include <atomic>

#include "common/record_text.h"

namespace {
std::atomic<oplog_push_fn> pusher{nullptr};
constexpr std::size_t entry_max = 255;
}

std::string oplog_entry(const std::string& category, const std::string& event, const std::string& detail)
{
    return cut_text(one_line(category + "," + event + "," + detail), entry_max);
}

void set_oplog_push(oplog_push_fn push)
{
    pusher = push;
}

void write_oplog(const std::string& category, const std::string& event, const std::string& detail)
{
    if (oplog_push_fn push = pusher.load())
        push(oplog_entry(category, event, detail));
}
