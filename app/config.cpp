// The configuration reader: significant lines of "data/tarlim.conf" into appConfig.
#include "app/app.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

AppConfig appConfig;

namespace {

// Scans one significant line with a one-value format; 1 when exactly one value was
// converted. A missing line (nullptr) counts as a failed scan.
// Integers read as "%d" would (leading white space, a sign, decimal digits, the rest
// ignored), but a number beyond the int range saturates: "%d" leaves that undefined,
// and the C library keeps its low 32 bits, so 4294967297 markers would read as 1.
int cfgScanInt(const char* line, int* value)
{
    if (line == nullptr) return 0;
    char* end = nullptr;
    const long long v = std::strtoll(line, &end, 10);
    if (end == line) return 0;
    *value = static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
    return 1;
}

int cfgScanDouble(const char* line, double* value)
{
    return line != nullptr && std::sscanf(line, "%lf", value) == 1;
}

// Copies a whole significant line into a field of the same size; 0 when it is missing.
int cfgCopyLine(char* field, FILE* fp)
{
    char line[kCfgLineSize];
    if (cfgReadLine(line, fp) == nullptr) return 0;
    std::memcpy(field, line, std::strlen(line) + 1);
    return 1;
}

// The body of cfgRead once the file is open; the caller closes it whatever happens.
int cfgReadOpen(FILE* fp)
{
    char line[kCfgLineSize];
    if (!cfgCopyLine(appConfig.videoConfig, fp)) return 0;
    if (!cfgCopyLine(appConfig.cameraParamFile, fp)) return 0;
    if (!cfgScanInt(cfgReadLine(line, fp), &appConfig.threshold)) return 0;
    if (!cfgScanInt(cfgReadLine(line, fp), &appConfig.markerCount)) return 0;
    // More blocks than the tables hold are not an error: the extra ones go unread.
    if (appConfig.markerCount > kAppMaxMarkers) appConfig.markerCount = kAppMaxMarkers;
    for (int k = 0; k < appConfig.markerCount; k++) {
        if (!cfgReadMarker(&appConfig.markers[k], fp)) return 0;
        if (!cfgReadSequence(&appConfig.sequences[k], fp)) return 0;
    }
    return 1;
}

}  // namespace

char* cfgReadLine(char buffer[kCfgLineSize], FILE* fp)
{
    for (;;) {
        if (std::fgets(buffer, kCfgLineSize, fp) == nullptr) return nullptr;
        size_t length = std::strlen(buffer);
        // Any mix of '\n' and '\r' at the end goes, so CRLF files read like LF ones.
        while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) {
            buffer[--length] = '\0';
        }
        if (length == 0) continue;
        // Only column 1 makes a comment: "  # x" is a significant line.
        if (buffer[0] == '#') continue;
        return buffer;
    }
}

int cfgReadMarker(MarkerSlot* slot, FILE* fp)
{
    char line[kCfgLineSize];
    if (!cfgCopyLine(slot->patternFile, fp)) return 0;
    return cfgScanDouble(cfgReadLine(line, fp), &slot->width);
}

int cfgReadSequence(ModelSequence* sequence, FILE* fp)
{
    char line[kCfgLineSize];
    if (!cfgScanInt(cfgReadLine(line, fp), &sequence->frameCount)) return 0;
    if (!cfgScanDouble(cfgReadLine(line, fp), &sequence->scale)) return 0;
    return cfgCopyLine(sequence->pathPrefix, fp);
}

int cfgRead()
{
    std::memset(&appConfig, 0, sizeof appConfig);
    FILE* fp = std::fopen(kCfgPath, "r");
    if (fp == nullptr) return 0;
    int result = cfgReadOpen(fp);
    std::fclose(fp);
    return result;
}
