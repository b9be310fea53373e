// Redis access of orvanel. Short commands from any thread borrow one of the
// five connections of redis_pool; the pool's mutex is held only while a slot
// is chosen or given back, never while a connection talks to the server, so
// a server that stops answering costs each caller its own time-out and
// blocks nobody else. Threads that block on Redis keep a connection of their
// own (open_own_connection, then redis_reconnect from common/redis_link.h).
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "common/c_holders.h"
#include "common/redis_link.h"

class connection_pool {
public:
    static constexpr int slot_count = 5;

    // Opens all five connections now; one that fails is opened by the first
    // acquire that takes its slot.
    explicit connection_pool(std::string socket_path);

    // A free slot whose connection answered PING (on a new connection when
    // the old one had failed), or -1.
    int acquire();
    // One command with its one text argument on a free slot, checked by a
    // PING sent with it and sent once more as redis_send says; the
    // command's reply, or null when it was dropped.
    reply_ptr run(const char* format, const std::string& argument);
    void release(int slot);
    // The slot's connection, for the holder of the slot; null for -1.
    redisContext* connection(int slot);

private:
    // Marks the lowest free slot taken; -1 when all are.
    int take_slot();

    struct slot_state {
        bool in_use = false;
        redis_ptr connection;
    };

    std::mutex mutex_;
    std::string path_;  // under the station root
    std::array<slot_state, slot_count> slots_;
};

extern std::unique_ptr<connection_pool> redis_pool;

std::unique_ptr<connection_pool> redis_pool_create(const char* device_path);
int redis_acquire(connection_pool* pool);
void redis_release(connection_pool* pool, int slot);

// One slot of the pool for the length of a scope.
class pooled_connection {
public:
    explicit pooled_connection(connection_pool* pool) : pool_(pool), slot_(redis_acquire(pool)) {}
    ~pooled_connection()
    {
        if (slot_ >= 0)
            redis_release(pool_, slot_);
    }
    pooled_connection(const pooled_connection&) = delete;
    pooled_connection& operator=(const pooled_connection&) = delete;

    explicit operator bool() const { return slot_ >= 0; }
    // Null when no slot was acquired.
    redisContext* get() const { return slot_ >= 0 ? pool_->connection(slot_) : nullptr; }

private:
    connection_pool* pool_;
    int slot_;
};

// Runs one command with one text argument on a pooled connection and drops
// the reply unseen. Without a free connection the command is dropped; a
// command that times out is given up, and its connection is made anew by
// the next use of the slot. It has left with its check, though, so a server
// that was only stalled carries it out when it wakes.
void redis_run(const char* format, const std::string& argument);

// A worker thread's own connection at its start, for blocking reads; null,
// after printing the client's error text, when the server cannot be reached.
redis_ptr open_own_connection(std::chrono::milliseconds timeout = blocking_read_timeout);
