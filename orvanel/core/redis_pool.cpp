#include "orvanel/core/redis_pool.h"

#include <cstdio>

#include "common/process.h"
#include "common/station_root.h"

std::unique_ptr<connection_pool> redis_pool;

connection_pool::connection_pool(std::string socket_path) : path_(std::move(socket_path))
{
    for (slot_state& slot : slots_) {
        std::string error;
        slot.connection = redis_open(path_, command_timeout, &error);
        if (!slot.connection)
            std::printf("Connection error: %s\n", error.c_str());
    }
}

int connection_pool::take_slot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < slot_count; ++i) {
        if (!slots_[i].in_use) {
            slots_[i].in_use = true;
            return i;
        }
    }
    return -1;
}

bool connection_pool::reopen(int slot, bool check_timed_out)
{
    slot_state& s = slots_[slot];
    if (check_timed_out && redis_timed_out(s.connection.get())) {
        // The server is there but does not answer: a new connection would
        // meet the same silence, so the command is dropped at once and the
        // connection made anew at the slot's next use.
        s.connection.reset();
        return false;
    }
    if (debug_mode)
        std::puts("redis connect failed, retry!");
    s.connection.reset();
    s.connection = redis_open(path_, command_timeout);
    return s.connection != nullptr;
}

int connection_pool::acquire()
{
    const int chosen = take_slot();
    if (chosen < 0) {
        std::puts("No available connections in pool");
        return -1;
    }
    // The slot is ours now: its connection is checked outside the lock.
    redisContext* c = slots_[chosen].connection.get();
    const bool asked = redis_usable(c);
    const bool checked = asked && redis_command(c, "PING") && redis_usable(c);
    if (!checked && !reopen(chosen, asked)) {
        std::puts("No available connections in pool");
        release(chosen);
        return -1;
    }
    return chosen;
}

reply_ptr connection_pool::run(const char* format, const std::string& argument)
{
    const int chosen = take_slot();
    if (chosen < 0) {
        std::puts("No available connections in pool");
        return nullptr;
    }
    redisContext* c = slots_[chosen].connection.get();
    const bool asked = redis_usable(c);
    bool checked = false;
    reply_ptr reply;
    if (asked) {
        // The check and the command leave in one write and their replies
        // come back together: a command costs one round trip.
        redisAppendCommand(c, "PING");
        redisAppendCommand(c, format, argument.c_str());
        void* pong = nullptr;
        checked = redisGetReply(c, &pong) == REDIS_OK && pong;
        freeReplyObject(pong);
        void* answer = nullptr;
        if (checked && redisGetReply(c, &answer) == REDIS_OK)
            reply.reset(static_cast<redisReply*>(answer));
    }
    if (!checked) {
        // On a connection the server has closed the write fails and nothing
        // reaches the server: the command goes once more on a new one.
        if (reopen(chosen, asked))
            reply = redis_command(slots_[chosen].connection.get(), format, argument.c_str());
        else
            std::puts("No available connections in pool");
    }
    release(chosen);
    return reply;
}

void connection_pool::release(int slot)
{
    if (slot < 0 || slot >= slot_count)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot].in_use = false;
}

redisContext* connection_pool::connection(int slot)
{
    if (slot < 0 || slot >= slot_count)
        return nullptr;
    // Only the holder of the slot uses its connection, so no lock is needed.
    return slots_[slot].connection.get();
}

std::unique_ptr<connection_pool> redis_pool_create(const char* device_path)
{
    return std::make_unique<connection_pool>(station_path(device_path));
}

int redis_acquire(connection_pool* pool)
{
    return pool ? pool->acquire() : -1;
}

void redis_release(connection_pool* pool, int slot)
{
    if (pool)
        pool->release(slot);
}

void redis_run(const char* format, const std::string& argument)
{
    if (redis_pool)
        redis_pool->run(format, argument);
}

redis_ptr open_own_connection(std::chrono::milliseconds timeout)
{
    std::string error;
    redis_ptr c = redis_open_device(timeout, &error);
    if (!c)
        std::puts(error.c_str());
    return c;
}
