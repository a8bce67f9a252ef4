// Scratch files for the fuzz targets whose loaders take a path: the input is written
// to one per-process temporary file, removed when the process exits normally.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

struct FuzzScratch {
    std::string path;
    FuzzScratch()
    {
        char name[] = "/tmp/tarlim-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        close(fd);
        path = name;
    }
    ~FuzzScratch() { std::remove(path.c_str()); }
};

// Writes data to the scratch file and returns its path.
inline const char* fuzzWriteScratch(const uint8_t* data, size_t size)
{
    static FuzzScratch scratch;
    FILE* fp = std::fopen(scratch.path.c_str(), "wb");
    if (fp == nullptr || std::fwrite(data, 1, size, fp) != size || std::fclose(fp) != 0) {
        std::perror(scratch.path.c_str());
        std::abort();
    }
    return scratch.path.c_str();
}
