// A bounded, blocking first-in first-out queue of small typed messages, for
// any number of producer and consumer threads. Both ends wait with a time-out
// in milliseconds: greater than 0 waits at most that long, 0 does not wait,
// less than 0 waits without limit. orvanel keeps one, next_hop_queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class message_queue {
public:
    explicit message_queue(std::size_t capacity);

    int push(int timeout_ms, int type, std::string_view payload);
    int pop(int timeout_ms, int* type, std::string* payload, std::size_t max_payload);

private:
    struct Slot {
        int type = 0;
        std::string payload;
    };

    // Waits on `cv` while `blocked()` holds; false when the time-out passed
    // with the queue still blocked.
    template <typename Blocked>
    bool wait_while(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& waiting, int timeout_ms,
                    Blocked blocked);

    std::mutex mutex_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    std::size_t read_ = 0;
    std::size_t write_ = 0;
    int waiting_producers_ = 0;
    int waiting_consumers_ = 0;
};

// Makes a queue of the capacity: 0 and the queue, or -1 when the capacity is
// not at least 1.
int queue_create(int capacity, std::unique_ptr<message_queue>& queue);

// Stores a message: 0, or -1 when the queue is absent or stays full for the
// time-out.
int queue_push(message_queue* queue, int timeout_ms, int type, std::string_view payload = {});

// Takes the oldest message: 0 with its type and payload (cut to max_payload
// bytes), or -1 when the queue is absent or stays empty for the time-out.
// The type and payload outputs may be null.
int queue_pop(message_queue* queue, int timeout_ms, int* type, std::string* payload = nullptr,
              std::size_t max_payload = 0);
