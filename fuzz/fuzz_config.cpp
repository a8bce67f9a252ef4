// Configuration file: the input becomes data/tarlim.conf in a private scratch
// directory and cfgRead reads it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"

namespace {

// cfgRead opens a fixed relative path, so each call switches into a directory of its
// own and back (libFuzzer keeps writing its corpus relative to the original one).
struct FuzzConfigDir {
    std::string dir;
    int home;
    FuzzConfigDir()
    {
        char name[] = "/tmp/tarlim-fuzz-config-XXXXXX";
        home = open(".", O_RDONLY | O_DIRECTORY);
        if (home < 0 || mkdtemp(name) == nullptr ||
            mkdir((std::string(name) + "/data").c_str(), 0700) != 0) {
            std::perror("scratch directory");
            std::abort();
        }
        dir = name;
    }
    ~FuzzConfigDir()
    {
        std::remove((dir + "/" + kCfgPath).c_str());
        rmdir((dir + "/data").c_str());
        rmdir(dir.c_str());
    }
};

bool fuzzTerminated(const char* field)
{
    return std::memchr(field, '\0', kCfgLineSize) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzConfigDir scratch;
    if (chdir(scratch.dir.c_str()) != 0) std::abort();
    FILE* fp = std::fopen(kCfgPath, "wb");
    if (fp == nullptr || std::fwrite(data, 1, size, fp) != size || std::fclose(fp) != 0)
        std::abort();
    const int ok = cfgRead();
    if (fchdir(scratch.home) != 0) std::abort();
    if (ok != 1) return 0;

    // What start-up hands on: strings that end inside their fields and a marker count
    // that indexes the tables.
    if (appConfig.markerCount > kAppMaxMarkers) std::abort();
    if (!fuzzTerminated(appConfig.videoConfig) || !fuzzTerminated(appConfig.cameraParamFile))
        std::abort();
    for (int k = 0; k < appConfig.markerCount; k++) {
        if (!fuzzTerminated(appConfig.markers[k].patternFile) ||
            !fuzzTerminated(appConfig.sequences[k].pathPrefix)) {
            std::abort();
        }
    }
    return 0;
}
