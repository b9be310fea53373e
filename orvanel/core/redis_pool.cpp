#include "orvanel/core/redis_pool.h"

#include <cstdio>

#include "common/process.h"
#include "common/station_root.h"

std::unique_ptr<RedisPool> redis_pool;

namespace {

redis_ptr connect_path(const std::string& path, bool report_errors)
{
    redis_ptr c(redisConnectUnix(path.c_str()));
    if (!c) {
        if (report_errors)
            std::printf("Connection error: can't allocate redis context\n");
        return nullptr;
    }
    if (c->err) {
        if (report_errors)
            std::printf("Connection error: %s\n", c->errstr);
        return nullptr;
    }
    return c;
}

}  // namespace

redis_ptr redis_connect(const char* device_path, bool report_errors)
{
    return connect_path(station_path(device_path), report_errors);
}

RedisPool::RedisPool(std::string socket_path) : path_(std::move(socket_path))
{
    for (Slot& slot : slots_)
        slot.connection = connect_path(path_, true);
}

int RedisPool::acquire()
{
    int chosen = -1;
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < slot_count; ++i) {
            if (!slots_[i].in_use) {
                chosen = i;
                break;
            }
        }
        if (chosen >= 0) {
            Slot& slot = slots_[chosen];
            slot.in_use = true;
            reply_ptr pong;
            if (slot.connection)
                pong = redis_command(slot.connection.get(), "PING");
            if (!slot.connection || !pong || slot.connection->err) {
                if (debug_mode)
                    std::puts("redis connect failed, retry!");
                slot.connection.reset();
                slot.connection = connect_path(path_, false);
            }
            connected = slot.connection != nullptr;
        }
    }
    if (chosen < 0 || !connected) {
        std::puts("No available connections in pool");
        if (chosen >= 0)
            release(chosen);
        return -1;
    }
    return chosen;
}

void RedisPool::release(int slot)
{
    if (slot < 0 || slot >= slot_count)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[slot].in_use = false;
}

redisContext* RedisPool::connection(int slot)
{
    // Only the holder of the slot uses its connection, so no lock is needed.
    return slots_[slot].connection.get();
}

std::unique_ptr<RedisPool> redis_pool_create(const char* device_path)
{
    return std::make_unique<RedisPool>(station_path(device_path));
}

int redis_acquire(RedisPool* pool)
{
    return pool ? pool->acquire() : -1;
}

void redis_release(RedisPool* pool, int slot)
{
    if (pool)
        pool->release(slot);
}

void redis_run(const char* format, const std::string& argument)
{
    PooledConnection c(redis_pool.get());
    if (!c)
        return;
    redis_command(c.get(), format, argument.c_str());
}

redis_ptr open_own_connection()
{
    redis_ptr c(redisConnectUnix(station_path(redis_socket).c_str()));
    if (c && c->err) {
        std::puts(c->errstr);
        c.reset();
    }
    return c;
}

int ensure_connection(redis_ptr& connection)
{
    if (connection && !connection->err)
        return 0;
    connection = redis_connect(redis_socket, false);
    return connection ? 0 : -1;
}
