#include "common/redis_retry.h"

#include <thread>

bool refused_pops::wait_out(const redisReply* reply)
{
    if (!reply || reply->type != REDIS_REPLY_ERROR) {
        if (reply)
            in_run_ = false;
        return false;
    }
    if (!in_run_)
        report_(std::string("BRPOP ") + key_ + " answered \"" + reply->str + "\", retrying every second\n");
    in_run_ = true;
    std::this_thread::sleep_for(redis_retry_pause);
    return true;
}
