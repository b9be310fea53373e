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

int connection_pool::acquire()
{
    int chosen = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < slot_count && chosen < 0; ++i) {
            if (!slots_[i].in_use) {
                slots_[i].in_use = true;
                chosen = i;
            }
        }
    }
    if (chosen < 0) {
        std::puts("No available connections in pool");
        return -1;
    }
    // The slot is ours now: its connection is checked outside the lock.
    slot_state& slot = slots_[chosen];
    reply_ptr pong;
    if (redis_usable(slot.connection.get()))
        pong = redis_command(slot.connection.get(), "PING");
    if (!pong && redis_timed_out(slot.connection.get())) {
        // The server is there but does not answer: a new connection would
        // meet the same silence, so the command is dropped at once and the
        // connection made anew at the slot's next use.
        slot.connection.reset();
        std::puts("No available connections in pool");
        release(chosen);
        return -1;
    }
    if (!pong || !redis_usable(slot.connection.get())) {
        if (debug_mode)
            std::puts("redis connect failed, retry!");
        slot.connection.reset();
        slot.connection = redis_open(path_, command_timeout);
    }
    if (!slot.connection) {
        std::puts("No available connections in pool");
        release(chosen);
        return -1;
    }
    return chosen;
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
    pooled_connection c(redis_pool.get());
    if (!c)
        return;
    redis_command(c.get(), format, argument.c_str());
}

redis_ptr open_own_connection(std::chrono::milliseconds timeout)
{
    std::string error;
    redis_ptr c = redis_open_device(timeout, &error);
    if (!c)
        std::puts(error.c_str());
    return c;
}
