// Poses for other programs: one JSON object per processed frame, one line each,
// flushed at once so that a reader on a pipe sees every frame as it happens.
#include "app/app.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

FILE* appPosesFile = nullptr;

// A JSON string: quotes, backslashes and control characters escaped; other bytes
// (UTF-8 in practice) as they are.
void appJsonString(std::string* out, const char* text)
{
    out->push_back('"');
    for (const char* p = text; *p != '\0'; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            *out += escaped;
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

// JSON has no NaN or infinity: such a value is written as null.
void appJsonNumber(std::string* out, double value)
{
    if (!std::isfinite(value)) {
        *out += "null";
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    *out += text;
}

}  // namespace

int appPosesToStandardOutput()
{
    std::fflush(stdout);
    const int fd = dup(1);
    if (fd < 0) return -1;
    FILE* fp = fdopen(fd, "w");
    if (fp == nullptr || dup2(2, 1) < 0) {
        if (fp != nullptr) std::fclose(fp);
        return -1;
    }
    appPosesFile = fp;
    return 0;
}

int appPosesOpen(const char* path)
{
    FILE* fp = std::fopen(path, "w");
    if (fp == nullptr) return -1;
    appPosesFile = fp;
    return 0;
}

void appPosesWrite(long long frame, double timeMs, const DetectedMarker* list,
                   const int assignment[kAppMaxMarkers])
{
    if (appPosesFile == nullptr) return;
    std::string line = "{\"frame\": " + std::to_string(frame) + ", \"time_ms\": ";
    char time[32];
    std::snprintf(time, sizeof time, "%.1f", timeMs);
    line += time;
    line += ", \"markers\": [";
    bool first = true;
    for (int k = 0; k < appConfig.markerCount; k++) {
        const MarkerSlot& m = appConfig.markers[k];
        if (!m.visible) continue;
        line += first ? "{\"slot\": " : ", {\"slot\": ";
        first = false;
        line += std::to_string(k) + ", \"pattern_file\": ";
        appJsonString(&line, m.patternFile);
        line += ", \"confidence\": ";
        appJsonNumber(&line, list[assignment[k]].confidence);
        line += ", \"transform\": [";
        for (int i = 0; i < 12; i++) {
            if (i > 0) line += ", ";
            appJsonNumber(&line, m.transform[i / 4][i % 4]);
        }
        line += "]}";
    }
    line += "]}\n";
    std::fputs(line.c_str(), appPosesFile);
    std::fflush(appPosesFile);
}

void appPosesClose()
{
    if (appPosesFile != nullptr) std::fclose(appPosesFile);
    appPosesFile = nullptr;
}
