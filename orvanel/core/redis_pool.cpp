#include "orvanel/core/redis_pool.h"

#include <cstdio>

#include "common/process.h"
#include "common/station_root.h"

std::unique_ptr<connection_pool> redis_pool;

namespace {

void say_reconnect(const redis_sent& sent)
{
    if (debug_mode && (sent.reconnected || sent.unreachable))
        std::puts("redis connect failed, retry!");
}

}  // namespace

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

int connection_pool::acquire()
{
    const int chosen = take_slot();
    if (chosen < 0) {
        std::puts("No available connections in pool");
        return -1;
    }
    // The slot is ours now: its connection is checked outside the lock.
    const redis_sent sent = redis_send(slots_[chosen].connection, path_, command_timeout,
                                       [](redisContext* c) { return redis_command(c, "PING"); });
    say_reconnect(sent);
    if (!sent.reply) {
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
    redis_sent sent = redis_send(slots_[chosen].connection, path_, command_timeout, [&](redisContext* c) {
        // The check and the command leave in one write and their replies
        // come back together: a command costs one round trip. A server
        // that was only stalled carries the command out when it wakes.
        redisAppendCommand(c, "PING");
        redisAppendCommand(c, format, argument.c_str());
        void* pong = nullptr;
        const bool checked = redisGetReply(c, &pong) == REDIS_OK && pong;
        freeReplyObject(pong);
        void* answer = nullptr;
        if (checked && redisGetReply(c, &answer) == REDIS_OK)
            return reply_ptr(static_cast<redisReply*>(answer));
        return reply_ptr();
    });
    say_reconnect(sent);
    // A command that timed out is dropped, not sent on a new connection:
    // that would meet the same silence.
    if (!sent.reply && (sent.timed_out || sent.unreachable))
        std::puts("No available connections in pool");
    release(chosen);
    return std::move(sent.reply);
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
