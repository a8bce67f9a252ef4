#include "util/util.h"

#include <time.h>

#include <cerrno>

void utilSleep(int milliseconds)
{
    if (milliseconds <= 0) return;
    timespec left{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    // Resume after signals so the full pause is always slept.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}
