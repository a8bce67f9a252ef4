// toolkit: what the marker and pattern tools share: pattern grids made from pictures,
// pattern files, the detector's correlation computed in memory, the comparison table,
// printable markers and the little font that labels them.
//
// A ToolPattern holds the intensities of a pattern file: 4 orientations of 3 colour
// planes (blue, green, red) of 16 x 16 intensities 0 (black) ... 255, in file order,
// row 0 the top. Orientation h is orientation 0 turned h quarter turns counterclockwise
// (tarlim-pattern.cpp explains why the detector needs that order).
//
// Result codes: 0 success, -1 failure; nothing here prints.
#pragma once

#include "pattern/pattern.h"
#include "synth/synth.h"

#include <string>
#include <vector>

// ---- Patterns ---------------------------------------------------------------------------

// Intensities of one orientation: index (channel * 16 + row) * 16 + column.
constexpr int kToolGridValues = 3 * kPatternSide * kPatternSide;

struct ToolPattern {
    int values[kPatternOrientations][kToolGridValues];
};

// Index of (channel, row, column) in one orientation.
inline int toolGridIndex(int channel, int row, int column)
{
    return (channel * kPatternSide + row) * kPatternSide + column;
}

// Orientation 0 averaged from a picture (the marker's central half, upright; alpha
// composited onto white paper), then the three quarter turns. `picture` must not be
// empty. Always succeeds.
void toolPatternFromPicture(const SynthImage& picture, ToolPattern* pattern);

// Fills orientations 1 ... 3 from orientation 0.
void toolPatternTurnAll(ToolPattern* pattern);

// Writes `pattern` as a pattern file (one row of 16 numbers per line, a blank line after
// each orientation). Returns 0, or -1 when the file cannot be written.
int toolPatternWrite(const char* path, const ToolPattern& pattern);

// Reads the first 3072 integers of a pattern file. Returns 0, or -1 when the file cannot
// be opened or holds fewer (then *pattern is not to be used).
int toolPatternRead(const char* path, ToolPattern* pattern);

// A pattern prepared for correlation exactly as the loader prepares it: each value
// clamped to 0 ... 255 and inverted (255 - value), laid out as the detector's samples
// (index (row * 16 + column) * 3 + channel), its integer mean removed per orientation;
// `power` the Euclidean norm per orientation (1e-7 when flat).
struct ToolNormalised {
    int values[kPatternOrientations][kPatternValues];
    double power[kPatternOrientations];
};

void toolNormalise(const ToolPattern& pattern, ToolNormalised* out);

// Normalised correlation of orientation ha of a with orientation hb of b, computed as
// the detector and `tarlim-pattern compare` compute it (-1 ... 1).
double toolCorrelation(const ToolNormalised& a, int ha, const ToolNormalised& b, int hb);

// Best correlation of a with b over all 16 pairs of orientations.
double toolBestCorrelation(const ToolNormalised& a, const ToolNormalised& b);

// Highest resemblance of orientation 0 of a pattern to its orientations 1 ... 3.
double toolSelfTurn(const ToolNormalised& a);

// The comparison table of `tarlim-pattern compare`: every pair's best correlation, each
// pattern's resemblance to itself turned, and the verdict line. names[i] labels
// patterns[i]. *highestPair / *highestSelf (may be null) receive the largest pair and
// self-turn values (-1 when there are none).
std::string toolCompareTable(const std::vector<ToolNormalised>& patterns,
                             const std::vector<std::string>& names, double* highestPair,
                             double* highestSelf);

// What the detector accepts: a correlation of at least this identifies a marker, so
// two patterns may be confused when any value of the table reaches it.
constexpr double kToolAcceptCorrelation = 0.5;

// ---- Pictures and printing -----------------------------------------------------------------

// Width in pixels of `text` in the built-in 5 x 7 font scaled by `scale`.
int toolTextWidth(const std::string& text, int scale);

// Draws `text` in black, top-left at (left, top). The font has the digits, '.', 'm', '#'
// and the space; other characters are left blank.
void toolDrawText(SynthImage* image, const std::string& text, int left, int top, int scale);

// The printable marker of a picture: the black square of `sidePixels` (its border a
// quarter of the side on each side, the picture in its central half), a white margin
// of max(2, side / 16) pixels and the label under it. Returns 0, or -1 when the side is
// below 16 or the image would exceed kSynthMaxImageSide a side.
int toolPrintableMarker(const SynthImage& picture, int sidePixels, const std::string& label,
                        SynthImage* out);

// "80 mm" for 80, "62.5 mm" for 62.5.
std::string toolSideLabel(double sideMm);

// Writes a printable image as RGB PNG that records `dpi` as its resolution, so a
// viewer's "actual size" prints it at the stated size. Returns 0 or -1.
int toolPngWritePrintable(const char* path, const SynthImage& image, double dpi);

// Matches a 768-byte sample (patternSample's layout) against `patterns` as patternMatch
// matches it against the loaded table: the best positive correlation over all patterns
// and orientations, ties keeping the lower index. *index and *direction are -1 and
// *confidence 0.0 when nothing correlates positively; a uniform sample gives 0, 0, -1.0.
void toolMatchSample(const uint8_t sample[kPatternValues],
                     const std::vector<ToolNormalised>& patterns, int* index, int* direction,
                     double* confidence);
