#include "core/clock.h"

#include <sys/time.h>

std::int64_t get_time_usec() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return static_cast<std::int64_t>(tv.tv_sec) * 1000000 + static_cast<std::int64_t>(tv.tv_usec);
}
