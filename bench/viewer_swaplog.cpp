// Preload library for measuring the viewer from outside: every glutSwapBuffers call
// appends its time, in milliseconds since the library was loaded (just before main),
// to the file named by TARLIM_SWAPLOG. The display's start-up callback swaps twice
// (both buffers black); every later swap is one processed video frame.
//   LD_PRELOAD=build/bench/libtarlim_swaplog.so TARLIM_SWAPLOG=swaps.txt build/app/tarlim
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;
Clock::time_point swaplogStart;
FILE* swaplogFile = nullptr;

__attribute__((constructor)) void swaplogInit()
{
    swaplogStart = Clock::now();
    const char* path = std::getenv("TARLIM_SWAPLOG");
    if (path != nullptr) swaplogFile = std::fopen(path, "w");
}

}  // namespace

extern "C" void glutSwapBuffers()
{
    using Real = void (*)();
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "glutSwapBuffers"));
    if (real != nullptr) real();
    if (swaplogFile != nullptr) {
        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - swaplogStart).count();
        std::fprintf(swaplogFile, "%.3f\n", ms);
        std::fflush(swaplogFile);
    }
}
