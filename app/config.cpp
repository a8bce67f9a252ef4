// The configuration reader: significant lines of the configuration file into appConfig,
// option lines into appOptions, and what went wrong as lines a person can act on.
#include "app/app.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

AppConfig appConfig;

namespace {

// The items of a file in reading order: four header lines, then five per marker.
constexpr int kCfgHeaderItems = 4;
constexpr int kCfgMarkerItems = 5;
const char* const kCfgHeaderNames[kCfgHeaderItems] = {"video source", "camera file", "threshold",
                                                      "marker count"};
const char* const kCfgMarkerNames[kCfgMarkerItems] = {"pattern file", "width", "model count",
                                                      "scale", "model prefix"};
// How much of an offending line a message quotes.
constexpr size_t kCfgQuoteMax = 60;

// One file being read: the stream plus what messages need (the path and the editor's
// line number of the line last returned).
struct CfgSource {
    FILE* fp;
    const char* path;
    int line;           // physical line (from 1) of the last significant line returned
    int completeLines;  // physical lines whose end has been read
    bool midLine;       // the last piece read did not end its line
    bool started;       // a piece has been read (the byte-order mark can only lead)
    CfgReport* report;  // may be null
};

// Reads the next piece of at most kCfgLineSize - 1 characters with the line-end and
// comment rules; counts physical lines when `source` is given. nullptr at the end.
char* cfgNextPiece(char buffer[kCfgLineSize], FILE* fp, CfgSource* source)
{
    for (;;) {
        if (std::fgets(buffer, kCfgLineSize, fp) == nullptr) return nullptr;
        size_t length = std::strlen(buffer);
        if (source != nullptr) {
            const bool ends = length > 0 && buffer[length - 1] == '\n';
            source->line = source->completeLines + 1;
            if (ends) source->completeLines++;
            source->midLine = !ends;
            // Editors may put a UTF-8 byte-order mark first; no line can mean it.
            if (!source->started && std::strncmp(buffer, "\xEF\xBB\xBF", 3) == 0) {
                std::memmove(buffer, buffer + 3, length - 2);
                length -= 3;
            }
            source->started = true;
        }
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

std::string cfgVformat(const char* format, va_list args)
{
    char text[kCfgMessageSize];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

// Copies a message into a report field, cut to the field's size.
void cfgStore(char field[kCfgMessageSize], const std::string& message)
{
    const size_t length = std::min(message.size(), static_cast<size_t>(kCfgMessageSize - 1));
    std::memcpy(field, message.data(), length);
    field[length] = '\0';
}

std::string cfgWhere(const CfgSource* s, int line)
{
    return line > 0 ? std::string(s->path) + ":" + std::to_string(line) + ": "
                    : std::string(s->path) + ": ";
}

// The failure of this read, "PATH:LINE: " prefixed (no line number when line is 0).
void cfgError(CfgSource* s, int line, const char* format, ...)
{
    if (s->report == nullptr) return;
    va_list args;
    va_start(args, format);
    const std::string text = cfgVformat(format, args);
    va_end(args);
    cfgStore(s->report->error, cfgWhere(s, line) + text);
}

void cfgWarn(CfgSource* s, int line, const char* format, ...)
{
    CfgReport* r = s->report;
    if (r == nullptr) return;
    if (r->warningCount == kCfgWarningMax) {
        r->warningsDropped++;
        return;
    }
    va_list args;
    va_start(args, format);
    const std::string text = cfgVformat(format, args);
    va_end(args);
    cfgStore(r->warnings[r->warningCount++], cfgWhere(s, line) + "warning: " + text);
}

// The line as a message quotes it: at most kCfgQuoteMax characters.
std::string cfgQuote(const char* line)
{
    std::string q(line);
    if (q.size() > kCfgQuoteMax) q = q.substr(0, kCfgQuoteMax) + "...";
    return "\"" + q + "\"";
}

bool cfgIndentedComment(const char* line)
{
    const size_t blanks = std::strspn(line, " \t");
    return blanks > 0 && line[blanks] == '#';
}

const char* const kCfgCommentHint = "only a \"#\" in the first column starts a comment";

// "a, b, c and d" of names[from..count-1].
std::string cfgJoin(const char* const* names, int from, int count)
{
    std::string text;
    for (int i = from; i < count; i++) {
        if (i > from) text += (i == count - 1) ? " and " : ", ";
        text += names[i];
    }
    return text;
}

// The name of a field as messages give it: "threshold", "width of marker 2".
std::string cfgFieldName(int item, int marker)
{
    if (marker < 0) return kCfgHeaderNames[item];
    return std::string(kCfgMarkerNames[item]) + " of marker " + std::to_string(marker + 1);
}

// Reads the next significant line for `item` (of marker `marker`, -1 for the header);
// at the end of the file records which lines are still missing.
char* cfgNext(CfgSource* s, char buffer[kCfgLineSize], int item, int marker, int markerCount)
{
    if (cfgNextPiece(buffer, s->fp, s) != nullptr) {
        const bool pathField = marker < 0 ? item <= 1 : (item == 0 || item == 4);
        if (pathField && cfgIndentedComment(buffer)) {
            // A path field takes the line whole, so the mistake shows only later.
            cfgWarn(s, s->line, "%s is %s; %s", cfgFieldName(item, marker).c_str(),
                    cfgQuote(buffer).c_str(), kCfgCommentHint);
        }
        return buffer;
    }
    if (std::ferror(s->fp)) {
        cfgError(s, 0, "cannot read: %s", std::strerror(errno));
        return nullptr;
    }
    const int last = s->completeLines + (s->midLine ? 1 : 0);
    std::string need;
    if (marker < 0) {
        need = "still needs the " + cfgJoin(kCfgHeaderNames, item, kCfgHeaderItems);
    } else {
        need = "marker " + std::to_string(marker + 1) + " still needs its " +
               cfgJoin(kCfgMarkerNames, item, kCfgMarkerItems);
        const int after = markerCount - marker - 1;
        if (after == 1) need += ", and marker " + std::to_string(marker + 2) + " is missing";
        if (after > 1) {
            need += ", and markers " + std::to_string(marker + 2) + " to " +
                    std::to_string(markerCount) + " are missing";
        }
    }
    if (last == 0) {
        cfgError(s, 0, "has no lines; it %s", need.substr(std::strlen("still ")).c_str());
    } else {
        cfgError(s, 0, "ends after line %d; %s", last, need.c_str());
    }
    return nullptr;
}

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

// One numeric item: 1 when its line is there and scans, else 0 with the reason.
int cfgNumber(CfgSource* s, int item, int marker, int markerCount, int* intValue,
              double* doubleValue)
{
    char line[kCfgLineSize];
    if (cfgNext(s, line, item, marker, markerCount) == nullptr) return 0;
    const int ok =
        intValue != nullptr ? cfgScanInt(line, intValue) : cfgScanDouble(line, doubleValue);
    if (ok) return 1;
    cfgError(s, s->line, "%s: expected a number, got %s%s%s", cfgFieldName(item, marker).c_str(),
             cfgQuote(line).c_str(), cfgIndentedComment(line) ? "; " : "",
             cfgIndentedComment(line) ? kCfgCommentHint : "");
    return 0;
}

int cfgText(CfgSource* s, char* field, int item, int marker, int markerCount)
{
    char line[kCfgLineSize];
    if (cfgNext(s, line, item, marker, markerCount) == nullptr) return 0;
    std::memcpy(field, line, std::strlen(line) + 1);
    return 1;
}

// The values that read but cannot work, each a warning with its line.
void cfgCheckMarker(CfgSource* s, int k, int widthLine, int countLine)
{
    const double width = appConfig.markers[k].width;
    if (!(width > 0.0) || !std::isfinite(width)) {
        cfgWarn(s, widthLine,
                "width of marker %d is %g; it must be a positive length (the unit of its models)",
                k + 1, width);
    }
    const int count = appConfig.sequences[k].frameCount;
    if (count <= 0) {
        cfgWarn(s, countLine, "model count of marker %d is %d: the marker shows no model", k + 1,
                count);
    }
}

// Option lines "NAME VALUE" after the last marker block, until the end of the file.
void cfgReadOptions(CfgSource* s)
{
    char line[kCfgLineSize];
    while (cfgNextPiece(line, s->fp, s) != nullptr) {
        char reason[kCfgMessageSize];
        const size_t nameLength = std::strcspn(line, " \t");
        std::string name(line, nameLength);
        const char* value = line + nameLength + std::strspn(line + nameLength, " \t");
        if (cfgIndentedComment(line)) {
            cfgWarn(s, s->line, "%s is not an option line; %s", cfgQuote(line).c_str(),
                    kCfgCommentHint);
        } else if (appOptionSet(&appOptions, name.c_str(), value, reason, sizeof reason) != 0) {
            cfgWarn(s, s->line, "%s; line ignored", reason);
        }
    }
    if (std::ferror(s->fp)) cfgError(s, 0, "cannot read: %s", std::strerror(errno));
}

// The body of cfgReadFile once the file is open; the caller closes it.
int cfgReadOpen(CfgSource* s)
{
    AppConfig& c = appConfig;
    if (!cfgText(s, c.videoConfig, 0, -1, 0)) return 0;
    if (!cfgText(s, c.cameraParamFile, 1, -1, 0)) return 0;
    if (!cfgNumber(s, 2, -1, 0, &c.threshold, nullptr)) return 0;
    if (c.threshold < 0 || c.threshold > 255) {
        // A pixel is dark when blue + green + red <= 3 * threshold.
        cfgWarn(
            s, s->line,
            "threshold %d is outside 0..255: %s pixel counts as dark, so no marker can be found",
            c.threshold, c.threshold < 0 ? "no" : "every");
    }
    if (!cfgNumber(s, 3, -1, 0, &c.markerCount, nullptr)) return 0;
    const int countLine = s->line;
    const int configuredCount = c.markerCount;
    // More blocks than the tables hold are not an error: the extra ones go unread.
    if (c.markerCount > kAppMaxMarkers) {
        c.markerCount = kAppMaxMarkers;
        cfgWarn(s, countLine, "marker count %d is above %d; the markers after the %dth are ignored",
                configuredCount, kAppMaxMarkers, kAppMaxMarkers);
    }
    for (int k = 0; k < c.markerCount; k++) {
        MarkerSlot* m = &c.markers[k];
        ModelSequence* q = &c.sequences[k];
        const int n = c.markerCount;
        if (!cfgText(s, m->patternFile, 0, k, n)) return 0;
        if (!cfgNumber(s, 1, k, n, nullptr, &m->width)) return 0;
        const int widthLine = s->line;
        if (!cfgNumber(s, 2, k, n, &q->frameCount, nullptr)) return 0;
        const int frameCountLine = s->line;
        if (!cfgNumber(s, 3, k, n, nullptr, &q->scale)) return 0;
        if (!cfgText(s, q->pathPrefix, 4, k, n)) return 0;
        cfgCheckMarker(s, k, widthLine, frameCountLine);
    }
    if (s->report == nullptr) return 1;
    // The blocks of markers beyond the eighth are not option lines.
    char line[kCfgLineSize];
    for (long long skip =
             (static_cast<long long>(configuredCount) - c.markerCount) * kCfgMarkerItems;
         skip > 0 && cfgNextPiece(line, s->fp, s) != nullptr; skip--) {}
    cfgReadOptions(s);
    return s->report->error[0] == '\0';
}

}  // namespace

char* cfgReadLine(char buffer[kCfgLineSize], FILE* fp)
{
    return cfgNextPiece(buffer, fp, nullptr);
}

int cfgReadMarker(MarkerSlot* slot, FILE* fp)
{
    char line[kCfgLineSize];
    if (cfgReadLine(line, fp) == nullptr) return 0;
    std::memcpy(slot->patternFile, line, std::strlen(line) + 1);
    return cfgScanDouble(cfgReadLine(line, fp), &slot->width);
}

int cfgReadSequence(ModelSequence* sequence, FILE* fp)
{
    char line[kCfgLineSize];
    if (!cfgScanInt(cfgReadLine(line, fp), &sequence->frameCount)) return 0;
    if (!cfgScanDouble(cfgReadLine(line, fp), &sequence->scale)) return 0;
    if (cfgReadLine(line, fp) == nullptr) return 0;
    std::memcpy(sequence->pathPrefix, line, std::strlen(line) + 1);
    return 1;
}

int cfgReadFile(const char* path, CfgReport* report)
{
    std::memset(&appConfig, 0, sizeof appConfig);
    appOptions = AppOptions{};
    if (report != nullptr) *report = CfgReport{};
    CfgSource source = {nullptr, path, 0, 0, false, false, report};
    source.fp = std::fopen(path, "r");
    if (source.fp == nullptr) {
        const int error = errno;
        if (error == ENOENT && path[0] != '/') {
            char cwd[kCfgLineSize];
            if (getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, "?");
            cfgError(&source, 0, "cannot open: %s (paths are relative to the working directory %s)",
                     std::strerror(error), cwd);
        } else {
            cfgError(&source, 0, "cannot open: %s", std::strerror(error));
        }
        return 0;
    }
    const int result = cfgReadOpen(&source);
    std::fclose(source.fp);
    return result;
}

int cfgRead()
{
    return cfgReadFile(kCfgPath, nullptr);
}
