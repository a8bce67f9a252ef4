// pattern: recognising a marker by the picture inside its black border.
//
// A pattern file holds a marker picture as 16 x 16 colour samples in four
// orientations. patternLoad reads one into a fixed table of 50 slots; the slot
// number is the pattern's identity. For every candidate square the detector calls
// patternSample, which resamples the square's central half into the same 16 x 16
// grid through a homography, and then patternMatch, which correlates that sample
// with every orientation of every loaded pattern.
//
// Use: at start-up, id = patternLoad("data/markerA.pat") per marker (-1 on failure).
// Per candidate: patternSample(frame, pointX, pointY, corners, sample), then
// patternMatch(sample, &id, &dir, &conf).
//
// Layout of a sample and of one stored orientation: index (row * 16 + column) * 3 +
// channel; row 0 is the top of the picture, column 0 its left side; channel 0 is blue,
// 1 green, 2 red (byte c of a frame pixel).
//
// Frames: width x height pixels of 4 bytes (blue, green, red, unused), rows top to
// bottom without padding; camImageWidth x camImageHeight (camera/camera.h) for the
// functions that take no size.
//
// Pattern sets: a PatternSet owns up to 50 loaded patterns. patternSetCreate makes an
// empty one; several detectors (detect/detect.h) may share a set, and matching only
// reads it, so a set that is no longer loaded into may be used from several threads.
// patternLoad, patternMatch, patternCount and patternSlots are the process's default
// set (patternDefaultSet()), which the viewer uses.
//
// Result codes: 0 success, -1 failure (patternLoad: slot number or -1). The set
// functions print nothing; patternLoad prints the loader's messages on standard output.
#pragma once

#include <cstdint>

constexpr int kPatternSide = 16;                                 // samples per row and column
constexpr int kPatternValues = kPatternSide * kPatternSide * 3;  // 768 per orientation
constexpr int kPatternOrientations = 4;
constexpr int kPatternSlotMax = 50;  // size of the table

// One loaded pattern.
struct PatternSlot {
    int32_t used;                                          // 0 free, 1 loaded
    int32_t values[kPatternOrientations][kPatternValues];  // per orientation: 255 - file
                                                           // value, then that orientation's
                                                           // integer mean removed; so dark
                                                           // parts are positive
    double power[kPatternOrientations];                    // Euclidean norm of each
                                                           // orientation's values; never 0
                                                           // (a flat orientation stores 1e-7)
    int32_t soft[kPatternOrientations][kPatternValues];    // per orientation: 255 - file
                                                           // value smoothed by patternSoften,
                                                           // then its integer mean removed
    double softPower[kPatternOrientations];                // norms of those; never 0
};

// A set of loaded patterns. Plain record; patternSetCreate returns one on the heap,
// but a caller may also hold one itself after patternSetInit.
struct PatternSet {
    int32_t count;                       // loaded slots 0 ... 50; -1 for the default set
                                         // until its first patternLoad initialises it
    PatternSlot slots[kPatternSlotMax];  // slots fill in ascending order from the lowest
                                         // free one
};

// The default set's table. patternCount is -1 until the first patternLoad initialises
// the table, then the number of loaded slots (slots fill in ascending order; only
// patternSetFree on the default set frees one).
extern int32_t& patternCount;
extern PatternSlot (&patternSlots)[kPatternSlotMax];

// ---- Pattern sets ---------------------------------------------------------------------

// The set behind patternLoad and patternMatch (never null, never to be released).
PatternSet* patternDefaultSet();

// Empties *set (count 0, every slot free). Returns 0.
int patternSetInit(PatternSet* set);

// New empty set on the heap (about 600 KiB), or nullptr when it cannot be allocated.
// The caller releases it with patternSetRelease.
PatternSet* patternSetCreate();

// Releases a set from patternSetCreate; nullptr is ignored. Detectors still referring
// to it must not run afterwards.
void patternSetRelease(PatternSet* set);

// Result codes of patternSetLoad besides a slot number.
constexpr int kPatternSetFull = -1;    // all 50 slots are used
constexpr int kPatternNotFound = -2;   // the file cannot be opened
constexpr int kPatternReadError = -3;  // fewer than 3072 integers, or a non-numeric token

// Reads the pattern file at `path` (not null; format of patternLoad) into the lowest
// free slot of *set and returns the slot number 0 ... 49, or one of the codes above.
// Prints nothing. On failure the slot stays free (a default set still at count -1 is
// initialised to 0 even then).
int patternSetLoad(PatternSet* set, const char* path);

// Frees slot `slot` so that the next load may reuse it. Returns 0, or -1 when slot is
// not 0 ... 49 or not loaded (set unchanged).
int patternSetFree(PatternSet* set, int slot);

// Number of loaded slots (0 for a default set not yet initialised).
int patternSetCount(const PatternSet* set);

// ---- Loading (start-up) ------------------------------------------------------------

// Reads the pattern file at `path` (a file name, not null) into the lowest free slot
// and returns its slot number 0 ... 49, or -1:
//   - all 50 slots used: -1, no message;
//   - file cannot be opened: prints "\"%s\" not found!!\n" (the path), -1;
//   - fewer than 3072 integers or a non-numeric token among them: prints
//     "Pattern Data read error!!\n", -1.
// File: 3072 decimal integers separated by any white space, orientation 0 ... 3, then
// channel blue, green, red, then row 0 ... 15, then column 0 ... 15; anything after
// the 3072nd integer is ignored. Values are intensities 0 (black) ... 255; a value
// outside that range (including one too large for an int) is clamped to it, so no
// input can overflow the correlation arithmetic. On failure the slot stays free and
// no slot is added (the first call initialises patternCount to 0 even then).
// The default set: patternSetLoad with the messages above printed.
int patternLoad(const char* path);

// ---- Per candidate -----------------------------------------------------------------------

// Resamples the central half of a quadrilateral into `sample` (768 bytes, layout above).
// The corners P0 ... P3 are (pointX[corners[i]], pointY[corners[i]]), i = 0 ... 3, in
// observed pixels, in clockwise order on the screen starting anywhere; P0 -> P1 becomes
// the top edge of the sample. The caller guarantees that corners[0 ... 3] index valid
// entries of pointX and pointY. Each output cell averages a 1x1, 2x2 or 4x4 block of
// sample points (16, 32 or 64 per side, from the longer edge lengths); points outside
// the frame add nothing but still count in the divisor. `frame` is read only inside
// camImageWidth x camImageHeight.
// Returns 0, or -1 when a sample point projects to infinity or the homography's
// matrices cannot be allocated; `sample` is then set to a uniform value (every byte
// 0), so patternMatch reports confidence -1.0.
int patternSample(const uint8_t* frame, const int32_t* pointX, const int32_t* pointY,
                  const int32_t corners[5], uint8_t sample[kPatternValues]);

// patternSample on a frame of width x height pixels (each at least 0) instead of the
// installed image size. Reentrant.
int patternSampleImage(const uint8_t* frame, int width, int height, const int32_t* pointX,
                       const int32_t* pointY, const int32_t corners[5],
                       uint8_t sample[kPatternValues]);

// Homography H (3x3, row-major, H[2][2] = 1) mapping reference[i] to observed[i] for
// the four point pairs, by the 8-parameter direct linear solution. Returns 0, or -1
// when the matrices cannot be allocated (H then untouched). A singular system (three
// collinear corners) is not detected: H is then meaningless, possibly not finite.
int patternHomography(const double reference[4][2], const double observed[4][2], double H[3][3]);

// Correlates `sample` (768 bytes, layout above) with all four orientations of every
// loaded pattern by normalised cross-correlation of the inverted, mean-free values.
// Always sets all three outputs:
//   - best positive correlation: *patternId its slot, *direction its orientation 0 ... 3,
//     *confidence the correlation (0 < c, at most 1 up to rounding); ties keep the
//     lower slot, then the lower orientation; returns 0;
//   - nothing loaded or no positive correlation: -1, -1, 0.0; returns 0;
//   - uniform sample (all 768 bytes equal): 0, 0, -1.0; returns -1.
// Independent of overall brightness: adding a constant to every byte (without
// clipping) gives exactly the same result.
int patternMatch(const uint8_t sample[kPatternValues], int32_t* patternId, int32_t* direction,
                 double* confidence);

// patternMatch against the patterns of *set (nullptr: none loaded). Reads the set only.
int patternSetMatch(const PatternSet* set, const uint8_t sample[kPatternValues], int32_t* patternId,
                    int32_t* direction, double* confidence);

// Smooths a 16 x 16 colour grid (kPatternValues values of 0 ... 255, laid out as the
// pattern values) with a Gaussian of 0.75 cells in integers (weights 2, 26, 64, 26, 2
// along each axis, renormalised where the kernel leaves the grid); the results are
// scaled by 16 (0 ... 4080). Adding a constant c to every input adds exactly 16 c.
void patternSoften(const int32_t in[kPatternValues], int32_t out[kPatternValues]);

// patternSetMatch on smoothed grids: the sample (255 - byte) and every pattern are
// smoothed by patternSoften before they are correlated, so detail finer than about a
// cell, which a marker a few pixels wide cannot show, counts less. Same results
// otherwise (ties, nothing loaded, uniform sample, brightness independence).
int patternSetMatchSoft(const PatternSet* set, const uint8_t sample[kPatternValues],
                        int32_t* patternId, int32_t* direction, double* confidence);

// Dot products of v with each orientation's values (values[0 ... 3], e.g. a slot's
// `values` or `soft`), in 64-bit integers, into dots[0 ... 3], with at most the given
// instruction set: 0 plain code, 2 AVX2 where the processor has it. The same sums
// either way (as long as no sum overflows 64 bits).
void patternDotsUsing(const int32_t v[kPatternValues], const int32_t (*values)[kPatternValues],
                      int64_t dots[kPatternOrientations], int level);

// Removes the integer mean (rounded toward zero) from kPatternValues values whose sum
// fits 64 bits and returns their Euclidean norm, or 1e-7 when they are all equal.
double patternCentre(int32_t values[kPatternValues]);
