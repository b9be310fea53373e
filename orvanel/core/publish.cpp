#include "orvanel/core/publish.h"

#include <cstdio>

#include "common/process.h"
#include "orvanel/core/redis_pool.h"

void publish_command(int target, const std::string& text)
{
    const bool output = target == TARGET_OUTPUT;
    if (debug_mode)
        std::printf("%s [%s]\n", output ? output_list : control_list, text.c_str());
    redis_run(output ? output_push : control_push, text);
}

void play_sound(const std::string& path, int count)
{
    publish_command(TARGET_CONTROL, play_command_text(path, count));
}
