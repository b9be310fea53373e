#include "orvanel/core/publish.h"

#include <cstdio>

#include "common/json_text.h"
#include "common/process.h"
#include "orvanel/core/redis_pool.h"

void publish_command(int target, const std::string& text)
{
    if (target == TARGET_OUTPUT) {
        if (debug_mode)
            std::printf("output-channel [%s]\n", text.c_str());
        redis_run("LPUSH output-channel %s", text);
    } else {
        if (debug_mode)
            std::printf("control-channel [%s]\n", text.c_str());
        redis_run("LPUSH control-channel %s", text);
    }
}

std::string play_command_text(const std::string& path, int count)
{
    return R"({"cmd":"play","data":")" + json_escape(path) + ":" + std::to_string(count) + "\"}";
}

void play_sound(const std::string& path, int count)
{
    publish_command(TARGET_CONTROL, play_command_text(path, count));
}
