// Redis access of orvanel. Short commands from any thread borrow one of the
// five connections of redis_pool; the pool's mutex is held only while a slot
// is chosen and its connection checked, and the command runs outside it.
// Threads that block on Redis keep a connection of their own and use
// ensure_connection to repair it.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "common/c_holders.h"

// The server's socket on the device.
inline constexpr const char* redis_socket = "/tmp/redis.sock";

class RedisPool {
public:
    static constexpr int slot_count = 5;

    // Opens all five connections now; one that fails is opened by the first
    // acquire that takes its slot.
    explicit RedisPool(std::string socket_path);

    // A free slot whose connection answered PING (or was made anew), or -1.
    int acquire();
    void release(int slot);
    redisContext* connection(int slot);

private:
    struct Slot {
        bool in_use = false;
        redis_ptr connection;
    };

    std::mutex mutex_;
    std::string path_;  // under the station root
    std::array<Slot, slot_count> slots_;
};

// A connection to the server socket at the device path, or null. Prints the
// client's error text, as the pool does, when asked to.
redis_ptr redis_connect(const char* device_path, bool report_errors);

extern std::unique_ptr<RedisPool> redis_pool;

std::unique_ptr<RedisPool> redis_pool_create(const char* device_path);
int redis_acquire(RedisPool* pool);
void redis_release(RedisPool* pool, int slot);

// One slot of the pool for the length of a scope.
class PooledConnection {
public:
    explicit PooledConnection(RedisPool* pool) : pool_(pool), slot_(redis_acquire(pool)) {}
    ~PooledConnection()
    {
        if (slot_ >= 0)
            redis_release(pool_, slot_);
    }
    PooledConnection(const PooledConnection&) = delete;
    PooledConnection& operator=(const PooledConnection&) = delete;

    explicit operator bool() const { return slot_ >= 0; }
    redisContext* get() const { return pool_->connection(slot_); }

private:
    RedisPool* pool_;
    int slot_;
};

// Runs one command with one text argument on a pooled connection and drops
// the reply unseen. Without a free connection the command is dropped.
void redis_run(const char* format, const std::string& argument);

// A worker thread's own connection at its start; null, after printing the
// client's error text, when the server cannot be reached.
redis_ptr open_own_connection();

// For a thread's own connection: 0 when it is usable or could be made anew
// (the caller then goes on with the new one), -1 otherwise.
int ensure_connection(redis_ptr& connection);
