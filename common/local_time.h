// The local time of a moment, converted without the shared buffer of
// localtime(), so threads that convert at once cannot overwrite each other.
#pragma once

#include <ctime>

inline std::tm local_time(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}
