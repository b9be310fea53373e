// The queue's state is guarded by its mutex; the condition waits release it.
// Nothing but copying happens under the mutex, so the queue never takes part
// in a lock-order cycle. Deadlines run on the monotonic clock, so a change of
// the wall clock neither stretches nor cuts a wait.
#include "orvanel/core/message_queue.h"

message_queue::message_queue(std::size_t capacity) : slots_(capacity) {}

template <typename Blocked>
bool message_queue::wait_while(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& waiting,
                              int timeout_ms, Blocked blocked)
{
    if (!blocked())
        return true;
    if (timeout_ms == 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (blocked()) {
        ++waiting;
        bool expired = false;
        if (timeout_ms < 0)
            cv.wait(lock);
        else
            expired = cv.wait_until(lock, deadline) == std::cv_status::timeout;
        --waiting;
        if (expired && blocked())
            return false;
    }
    return true;
}

int message_queue::push(int timeout_ms, int type, std::string_view payload)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wait_while(lock, not_full_, waiting_producers_, timeout_ms, [this] { return count_ == slots_.size(); }))
        return -1;
    Slot& slot = slots_[write_];
    slot.type = type;
    slot.payload.assign(payload.data(), payload.size());
    write_ = (write_ + 1) % slots_.size();
    ++count_;
    if (waiting_consumers_ > 0)
        not_empty_.notify_one();
    return 0;
}

int message_queue::pop(int timeout_ms, int* type, std::string* payload, std::size_t max_payload)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wait_while(lock, not_empty_, waiting_consumers_, timeout_ms, [this] { return count_ == 0; }))
        return -1;
    Slot& slot = slots_[read_];
    if (type)
        *type = slot.type;
    if (payload)
        payload->assign(slot.payload, 0, max_payload);
    slot.payload.clear();
    slot.payload.shrink_to_fit();
    --count_;
    read_ = (read_ + 1) % slots_.size();
    if (waiting_producers_ > 0)
        not_full_.notify_one();
    return 0;
}

int queue_create(int capacity, std::unique_ptr<message_queue>& queue)
{
    if (capacity <= 0)
        return -1;
    queue = std::make_unique<message_queue>(static_cast<std::size_t>(capacity));
    return 0;
}

int queue_push(message_queue* queue, int timeout_ms, int type, std::string_view payload)
{
    return queue ? queue->push(timeout_ms, type, payload) : -1;
}

int queue_pop(message_queue* queue, int timeout_ms, int* type, std::string* payload, std::size_t max_payload)
{
    return queue ? queue->pop(timeout_ms, type, payload, max_payload) : -1;
}
