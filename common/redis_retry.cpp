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
        report_(key_, reply->str);
    in_run_ = true;
    std::this_thread::sleep_for(redis_retry_pause);
    return true;
}
