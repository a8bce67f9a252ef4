// detect internals shared by its source files; not part of the public interface.
#pragma once

#include "detect/detect.h"

#include <cstdint>
#include <cstdlib>

#include "pattern/pattern.h"

// Frames up to this many pixels take the fixed-capacity path (16-bit labels, the first
// kMarkCandidateMax squares in region order); larger ones take the frame-sized path.
constexpr int64_t kMarkFixedPixelMax = 1048576;

// Neighbour steps of the contour tracers; increasing index turns clockwise on the screen
// (y grows downwards): up, up-right, right, down-right, down, down-left, left, up-left.
constexpr int kMarkStepX[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kMarkStepY[8] = {-1, -1, 0, 1, 1, 1, 0, -1};

// A trace or walk fails once it has this many points without closing; with the closing
// copy added the stored points then always fit the contour arrays.
constexpr int32_t kMarkTraceFail = kMarkContourMax - 1;

// A growable array of plain records, owned, released by its destructor. reserve()
// keeps the contents and reports failure instead of throwing.
template <typename T>
struct MarkBuffer {
    T* data = nullptr;
    int64_t capacity = 0;

    MarkBuffer() = default;
    MarkBuffer(const MarkBuffer&) = delete;
    MarkBuffer& operator=(const MarkBuffer&) = delete;
    ~MarkBuffer() { std::free(data); }

    // Makes room for at least n records, growing by at least half. Returns false when
    // the memory is not available (contents and capacity then unchanged).
    bool reserve(int64_t n)
    {
        if (n <= capacity) return true;
        int64_t grown = capacity + capacity / 2;
        if (grown < n) grown = n;
        if (grown < 64) grown = 64;
        void* p = std::realloc(data, static_cast<size_t>(grown) * sizeof(T));
        if (p == nullptr) return false;
        data = static_cast<T*>(p);
        capacity = grown;
        return true;
    }
};

// Overlap removal's rule, for both paths' square records (fields area and centroid): of
// two squares whose centroids lie closer than a quarter of the larger area (squared
// distance), the smaller is the inner picture's blob or a duplicate, and its area is set
// to 0. The caller compacts the list.
template <typename Square>
void markClearOverlaps(Square* list, int32_t n)
{
    for (int32_t i = 0; i < n; i++) {
        for (int32_t j = i + 1; j < n; j++) {
            const double dx = list[i].centroid[0] - list[j].centroid[0];
            const double dy = list[i].centroid[1] - list[j].centroid[1];
            const double d = dx * dx + dy * dy;
            if (list[i].area > list[j].area) {
                if (d < list[i].area / 4) list[j].area = 0;
            } else {
                if (d < list[j].area / 4) list[i].area = 0;
            }
        }
    }
}

// How the frame-sized path binarises and which squares it keeps.
struct MarkWideSettings {
    int threshold = 100;               // dark when blue + green + red <= 3 * threshold (global)
    int localThreshold = 0;            // non-zero: dark when the grey level lies more than
                                       // localOffset below the mean of the localWindow square
                                       // around the pixel (threshold is then not used)
    int localWindow = 0;               // side of that square, pixels, odd, 3 ... 1023
    int localOffset = 7;               // grey levels (mean of the three channels), >= 0
    int localPercent = 0;              // and this percentage of the mean besides, 0 ... 99
    int localCells = 0;                // non-zero: the mean over cells of 4 x 4 pixels, the
                                       // (2k + 1)^2 around the pixel's own, k = localWindow / 8
    int localCeiling = 0;              // non-zero: never dark when blue + green + red exceeds
                                       // 3 * localCeiling (grey levels, 1 ... 255)
    int minArea = 70;                  // pixels
    int maxArea = 100000;              // pixels
    double factor = 1.0;               // scales the corner threshold of the square test
    int enclosedTolerance = 0;         // non-zero: the square test's tolerance comes from the
                                       // area the outline encloses instead of the dark pixels
    int capacity = kMarkCandidateMax;  // squares kept, >= 1
    int simdLevel = 2;                 // widest instructions used: 0 plain, 1 SSE2, 2 AVX2
                                       // (the same result every way; tests compare them)
    int labelByRuns = 0;               // non-zero: one label per run (markRunsLabelRowByRuns):
                                       // the same regions, other provisional labels and table
    int narrowLabels = 0;              // non-zero: 16-bit labels in MarkWideWork::narrowImage
                                       // while they last; a frame that needs more than
                                       // kMarkLabelMax is labelled again with 32-bit ones
                                       // (the same labels)
};

// One square found by the frame-sized path; its contour lives in the point pool.
struct MarkWideSquare {
    int32_t area;
    double centroid[2];
    int64_t first;  // index of point 0 in the pool
    int32_t pointCount;
    int32_t corners[5];
    int32_t region;  // traced from (0-based; its statistics stay in the work's tables)
};

// One contour to walk: its first pixel, then where its steps went or why the walk
// failed.
struct MarkWalkJob {
    int32_t region;  // 1-based
    int32_t x, y;    // first pixel: the region's first in raster order
    int32_t fail;    // 0, or the number of the walk's diagnostic: 2 a lone pixel, 3 too
                     // long to close
    int64_t first;   // index of its first step in MarkWalks::steps
    int32_t count;   // steps, the last one back to the first pixel
};

// Contour walks under way side by side.
constexpr int kMarkWalkLanes = 4;

// Storage of the contour walks of one search, owned, released by its destructor.
struct MarkWalks {
    MarkBuffer<MarkWalkJob> jobs;  // the contours, in region order
    MarkBuffer<uint8_t> steps;     // their step directions, one contour after another
    uint8_t laneSteps[kMarkWalkLanes][kMarkContourMax];  // the steps of the walks under way
    // One contour's points (point 0 its first pixel, point count the first again); the
    // frame-sized path appends its points up to the farthest one once more, so that the
    // contour from there lies in one piece.
    int32_t traceX[2 * kMarkContourMax];
    int32_t traceY[2 * kMarkContourMax];
};

// Statistics credited to one provisional label: pixel count, coordinate sums and
// bounds of the pixels added to it. The coordinate sums are 64-bit: a region of a
// 1920 x 1080 frame already comes close to 2^31, and the installed size is not capped
// at one megapixel.
struct MarkLabelRecord {
    int32_t area;
    int32_t firstX;  // column of the pixel that started the label (row ymin); for a
                     // class's smallest label, its region's first pixel in raster order
    int64_t sumX;
    int64_t sumY;
    int32_t xmin, xmax, ymin, ymax;
};

// Working storage of the frame-sized path. Every buffer follows the frame: labels are
// limited only by memory (a frame needs at most one provisional label per two inner
// pixels), squares and their contours by what the frame holds.
struct MarkWideWork {
    MarkBuffer<int32_t> labelImage;   // width * height, index y * width + x; read either
    MarkBuffer<int16_t> narrowImage;  // (16-bit labels) through markWideLabelAt
    int32_t narrow = 0;               // 1: the last search's labels are in narrowImage
    MarkBuffer<int32_t> table;        // provisional label n -> entry n - 1
    MarkBuffer<MarkLabelRecord> records;
    MarkBuffer<int32_t> regionArea;
    MarkBuffer<double> regionCentroid;  // 2 per region
    MarkBuffer<int32_t> regionBox;      // 4 per region
    MarkBuffer<int32_t> regionFirstX;   // column of each region's first pixel (in row box[2])
    MarkBuffer<double> regionEnclosed;  // area inside each traced region's outline; 0 for
                                        // regions not traced (outside the size range)
    MarkBuffer<uint16_t> grey;          // local threshold: blue + green + red per pixel of
                                        // the rows the window holds (with cells: of one row)
    MarkBuffer<uint64_t> masks;         // dark masks of every row (runs.h), for the walks
    MarkBuffer<int32_t> bounds;         // where the runs of one row start and end (runs.h)
    MarkBuffer<uint32_t> columnSums;    // local threshold: per column, sum over the window rows
    MarkBuffer<uint32_t> rowSums;       // local threshold: prefix sums of columnSums (+ 8)
    MarkBuffer<uint16_t> cellSums;      // local cells: grey sum of each 4 x 4 cell
    MarkBuffer<uint16_t> cellLimits;    // local cells: per cell of one row, the first grey
                                        // level not dark
    MarkBuffer<uint16_t> cellColumns;   // local cells: per column, the sum over a row of
                                        // cells
    MarkBuffer<uint16_t> spans;         // local threshold, narrow windows: per pixel of the
                                        // rows the window holds, the grey sum over the
                                        // window's columns; then one row of zeros
    MarkBuffer<uint16_t> spanPrefix;    // local threshold, narrow windows: prefix sums of
                                        // one grey row (mod 2^16), padded by the radius
    MarkWalks walks;                    // the contours of the squares search
    MarkBuffer<MarkWideSquare> squares;
    MarkBuffer<int32_t> poolX, poolY;
    MarkBuffer<int32_t> areas;  // scratch of the selection by area
    SquareCandidate candidates[kMarkCandidateMax];
    // Receives the contour diagnostics; nullptr: the default detector's callback.
    const MarkDetector* detector = nullptr;
    // Counts of the last run.
    int32_t labels = 0;
    int32_t regions = 0;
    int32_t sized = 0;           // regions passing the size and border tests
    int32_t squareCount = 0;     // squares after overlap removal
    int32_t kept = 0;            // of those, kept (at most the capacity): squares[0 ... kept - 1]
    int32_t cellRowsSummed = 0;  // local cells: rows of cells summed so far this frame
};

// Labels, finds and thins the squares of a width x height frame into work->squares:
// overlaps are removed among all squares (the same rule as markFindSquares); when more
// than settings.capacity remain, the largest ones are kept (ties: the earlier region);
// the kept ones stay in region order. The first kMarkCandidateMax of them are also
// written to work->candidates. Returns the number kept, or -1 when memory runs out. A
// contour trace failure reports the same diagnostics as markTraceContour to
// work->detector's callback.
int32_t markWideFindSquares(MarkWideWork* work, const uint8_t* frame, int width, int height,
                            const MarkWideSettings& settings);

// Provisional label of pixel i (y * width + x) after a markWideFindSquares run of
// *work, from whichever label image it wrote.
inline int32_t markWideLabelAt(const MarkWideWork* work, int64_t i)
{
    return work->narrow ? work->narrowImage.data[i] : work->labelImage.data[i];
}

// Whether the processor runs AVX2 instructions (asked once; false where the detector is
// built without them). Every step that uses them checks this first.
bool markHaveAvx2();

// Makes room in *work for the local threshold of a width x height frame. Returns 0, or
// -1 when the memory is not available.
int markLocalReserve(MarkWideWork* work, int width, int height, const MarkWideSettings& settings);

// Dark mask (runs.h) of row y = 1, 2, ... by the local threshold of `settings`; rows
// must come in order from 1 on (running sums are kept in *work between calls).
void markLocalMask(MarkWideWork* work, const uint8_t* frame, int width, int height, int y,
                   const MarkWideSettings& settings, uint64_t* mask);

// Grey levels (blue + green + red) of frame row y into grey[0 ... width - 1], with at
// most the given instruction set (0 plain, 1 SSE2, 2 AVX2; the same values every way).
void markGreyRow(const uint8_t* frame, int width, int y, uint16_t* grey, int level);

// Outer contour of region `region` (1-based) of the last markWideFindSquares run of
// *work on a frame `width` pixels wide, as that run traces it: clockwise from the point
// farthest from its first pixel, closed with a copy of that point. *x and *y point into
// work's walk buffers (valid until the next walk), *points counts the points with the
// copy. Returns 0, or -1 after the walk's diagnostic when the walk fails.
int markWideOutline(MarkWideWork* work, int width, int32_t region, const int32_t** x,
                    const int32_t** y, int32_t* points);

// Kept square i (0 ... work->kept - 1) as a candidate record.
void markWideCandidate(const MarkWideWork* work, int32_t i, SquareCandidate* candidate);

// The settings markDetect uses for frames beyond kMarkFixedPixelMax: those of the
// fixed path with the maximum area scaled with the frame (100000 at 640 x 480), 16-bit
// labels while they last.
MarkWideSettings markWideDefaults(int width, int height, int threshold);

// The default detector's storage for the frame-sized path.
MarkWideWork* markWideDefaultWork();

// A detector's storage for the frame-sized path, created on first use; nullptr when
// it cannot be allocated. Released by markWideRelease (the default one never is).
MarkWideWork* markWideWorkOf(MarkDetector* detector);
void markWideRelease(MarkWideWork* work);

// ---- Fixed-capacity path and detector helpers ------------------------------------------

// Labeling's storage. The per-label tables are fixed: provisional labels never exceed
// kMarkLabelMax. During the scan `table` holds a parent forest in which every class's
// root is its smallest label and every parent is smaller than its child; finding the
// root of a label therefore gives exactly the class representative that a flat table
// (every entry pointing straight at its representative) would hold, without
// rewriting the table on every merge.
struct MarkLabelWork {
    int16_t* image;  // label image, `capacity` entries, heap; kept between frames
    int64_t capacity;
    int32_t table[kMarkRegionMax];
    MarkLabelRecord records[kMarkRegionMax];
    int32_t area[kMarkRegionMax];
    double centroid[2 * kMarkRegionMax];
    int32_t box[4 * kMarkRegionMax];
    int32_t firstX[kMarkRegionMax];  // column of each region's first pixel (in row box[2])
    // Dark masks of the row being labelled and the row above (runs.h), swapped per row
    // when every row's mask cannot be kept.
    uint64_t masks[2][kMarkSideMax / 64 + 2];
    int32_t bounds[kMarkSideMax + 1];  // where the runs of one row start and end (runs.h)
    uint64_t* rowMasks;                // every row's mask, `rowMaskCapacity` words, heap
    int64_t rowMaskCapacity;
    int32_t masksKept;  // 1: rowMasks holds the last markDetectorLabel run's masks
    MarkWalks* walks;   // the contour walks of detection; made on first use
};

// Turns a provisional-label table (entries 1 ... k, each a smaller parent or the label
// itself) into region numbers 1 ... in order of each class's smallest label, and gathers
// every region's area, centroid (mean of its pixels), box (xmin, xmax, ymin, ymax) and
// first pixel's column (row box[2]: that label started there) from the labels' records,
// in one pass. The arrays hold room for k regions. Returns the region count.
int32_t markResolveRegions(int32_t* table, const MarkLabelRecord* records, int32_t k, int32_t* area,
                           double* centroid, int32_t* box, int32_t* firstX);

// Makes the label image hold at least `pixels` entries. Returns 0, or -1 when the
// allocation fails (the old buffer is released too; the next call retries).
int markLabelReserve(MarkLabelWork* work, int64_t pixels);

// Releases the label image, the row masks and the walks' storage (the record itself
// stays).
void markLabelRelease(MarkLabelWork* work);

// Sends one diagnostic line to the detector's callback, if it has one.
void markDiagnose(const MarkDetector* detector, const char* message);

// Contour tracing of one region into cand on a width x height label image; `checked`
// bounds-tests every neighbour (for label images whose border is not clear).
// Diagnostics go to `detector`.
int markTrace(const MarkDetector* detector, const int16_t* labelImage, int width, int height,
              const int32_t* labelTable, int32_t region, const int32_t box[4],
              SquareCandidate* cand, bool checked);

// The point among s + 1 ... e - 1 farthest from the line a x + b y + c = 0 through points
// s and e: returns the first index whose (a x + b y + c)^2 (the integer value taken to a
// double, then squared) is the largest and above 0, or -1 when none is; *qmax receives
// that square (0.0 when none). level: 0 plain code, 2 AVX2 where the processor has it,
// eight points at a time; the same result either way.
int32_t markChordFarthest(const int32_t* x, const int32_t* y, int32_t s, int32_t e, int32_t a,
                          int32_t b, int32_t c, int level, double* qmax);

// The point among s ... e - 1 farthest from (cx, cy): returns the first index whose
// squared distance (x - cx)^2 + (y - cy)^2 is the largest and above 0, or -1 when none
// is; *dmax receives that squared distance (0 when none). Coordinates are image
// coordinates (0 ... kMarkSideMax), so the squares fit 32 bits. level as for
// markChordFarthest; the same result either way.
int32_t markFarthestFrom(const int32_t* x, const int32_t* y, int32_t s, int32_t e, int32_t cx,
                         int32_t cy, int level, int32_t* dmax);

// Walks the outer contours of walks->jobs.data[0 ... n - 1] on `masks`, the dark masks
// of every row of a frame `width` pixels wide (runs.h layout, markMaskWords(width) words
// a row; the first and last rows and columns clear). Each contour runs clockwise from
// its first pixel until that comes round again, by the rule of markTraceContour; its
// steps go to walks->steps, or the job is marked failed (2 a lone pixel, 3 more than
// kMarkContourMax - 2 points). A walk is a chain of waits, each step on the
// neighbourhood the one before leads to; so kMarkWalkLanes walks go on side by side, a
// step of each in turn, a lane taking the next contour as soon as its own ends, and each
// step is one table lookup. Returns 0, or -1 when memory for the steps runs out.
int markWalkContours(MarkWalks* walks, const uint64_t* masks, int width, int32_t n);

// Points of a walked job in walks->traceX/traceY: 0 ... count - 1 from the first pixel,
// then the first pixel again (point count). Returns the point farthest from the first
// one (the first such; 1 when none is farther than 0); *enclosed receives the area the
// outline drawn round the pixels' edges encloses (pixels). level: 0 plain code, 2 AVX2
// where the processor has it, eight steps at a time; the same results either way.
int32_t markWalkPoints(MarkWalks* walks, const MarkWalkJob& job, int level, double* enclosed);

// The diagnostic of a failed job ("??? 2\n" or "??? 3\n").
const char* markWalkMessage(const MarkWalkJob& job);

// markDetectorFindSquares; with `masks` (the row masks markDetectorLabel kept for the
// label image and region tables it returned this frame, all unchanged since) the
// contours are walked on them, several at once, from the regions' first pixels it
// noted, with the same results; nullptr traces each on the label image.
int markFindSquaresIn(MarkDetector* detector, const int16_t* labelImage, const uint64_t* masks,
                      int32_t regionCount, const int32_t* labelTable, const int32_t* regionArea,
                      const double* regionCentroid, const int32_t* regionBox, int maxArea,
                      int minArea, double factor, SquareCandidate** candidateList,
                      int32_t* candidateCount);

// markCheckSquare on a closed contour given as arrays x, y of pointCount (2 ...
// kMarkContourMax) points; the corners' indices go to corners[0 ... 4].
int markCheckSquarePoints(int32_t area, const int32_t* x, const int32_t* y, int32_t pointCount,
                          double factor, int32_t corners[5]);

// Whether the outermost rows and columns of the width x height label image are 0.
bool markBorderIsClear(const int16_t* labelImage, int width, int height);

// markFitEdges with the lens distortion given.
int markFitEdgesWith(const double distortion[4], const int32_t* pointX, const int32_t* pointY,
                     const int32_t corners[5], double edgeLines[4][3], double cornerPoints[4][2]);

// Brings the default detector's camera up to camImageWidth, camImageHeight and
// camCurrentParam (a size change empties its history) and returns it.
MarkDetector* markDefaultSynced();

// ---- Sub-pixel work on fitted markers (refine.cpp) --------------------------------------

// Moves each edge line of a fitted marker (edgeLines, cornerPoints in ideal pixels, as
// markFitEdges leaves them) to the strongest dark-to-light step across it: grey levels
// are read by bilinear interpolation along the edge's outward normal, up to 3 px either
// side, at about one point per pixel of edge away from the corners; the step positions
// (parabola peak of the rise) more than 2 px from the fitted line are left out, the
// others are taken back to ideal coordinates and a line is fitted through them;
// corners are re-intersected. An edge with too few clear steps keeps its line.
// Returns 0 with both arrays replaced, or -1 (arrays unchanged) when a corner would
// move more than 4 px or two lines are parallel.
int markRefineEdges(const uint8_t* frame, int width, int height, const double distortion[4],
                    double edgeLines[4][3], double cornerPoints[4][2]);

// markRefineEdges with at most the given instruction set: 0 plain code, 2 AVX2 where the
// processor has it (four samples at a time). The same results to the bit either way.
int markRefineEdgesUsing(const uint8_t* frame, int width, int height, const double distortion[4],
                         double edgeLines[4][3], double cornerPoints[4][2], int level);

// Samples the marker's inner picture like patternSample, but at the fitted corners
// (ideal pixels, taken to observed ones through `distortion`) and with bilinear
// interpolation between pixel centres. Returns 0, or -1 with a uniform sample (every
// byte 0) when the homography fails or a point projects to infinity.
int markSampleBilinear(const uint8_t* frame, int width, int height, const double distortion[4],
                       const double cornerPoints[4][2], uint8_t sample[kPatternValues]);

// markSampleBilinear with at most the given instruction set: 0 plain code, 2 AVX2 where
// the processor has it (four points at a time). The same sample either way.
int markSampleBilinearUsing(const uint8_t* frame, int width, int height, const double distortion[4],
                            const double cornerPoints[4][2], uint8_t sample[kPatternValues],
                            int level);

// How markPixelCorrelation reads a pixel's darkness when the light across the marker is
// known: darkness(model, u, v, grey) from the pixel's grey level (mean of its channels)
// at marker coordinates (u, v) (0 ... 1 along edges 0 and 3 from corner 0).
struct MarkPixelLight {
    double (*darkness)(const void* model, double u, double v, double grey);
    const void* model;
};

// Correlation (-1 ... 1) between the darkness of the frame's pixels inside a marker's
// picture and pattern `slot`'s orientation `direction` drawn onto those pixels through
// the marker's homography (cornerPoints in ideal pixels, taken to observed ones through
// `distortion`), each pixel averaging 4 x 4 points over 2 x 2 px around its centre, the
// border drawn as ink and the lightest cell as paper. A pixel's darkness is 765 minus
// its channel sum, or what `light` gives when not nullptr. Returns -1.0 when the marker
// is not wholly inside the frame, covers fewer than 16 picture pixels, or either side is
// flat.
double markPixelCorrelation(const uint8_t* frame, int width, int height, const double distortion[4],
                            const double cornerPoints[4][2], const PatternSlot& slot, int direction,
                            const MarkPixelLight* light = nullptr);

// ---- Shade matching (shade.cpp) -----------------------------------------------------------

// Confidence of a marker's picture with the light evened out across it (option
// shadeMatching): paper and ink are read on a ring round the fitted marker (cornerPoints
// in ideal pixels, taken to observed ones through `distortion`), just outside its
// outline and in the middle of its border, 32 positions of 3 bilinear reads each; the
// light across the marker is modelled as one straight shadow edge between two levels
// when that explains the ring's paper clearly better than a plane, else as a plane per
// channel; each cell of `picture` (the marker's sample from markSampleBilinear) is mapped
// from its local ink (0) to its local paper (255) level, and the result matched against
// `patterns`. Returns that match's
// confidence when it names pattern `patternId` in orientation `direction`, else 0.0;
// also 0.0 when a read falls outside the frame, the model cannot be fitted or a cell's
// paper lies less than 6 grey levels above its ink. Reads the frame and the set only.
double markShadeConfidence(const uint8_t* frame, int width, int height, const double distortion[4],
                           const double cornerPoints[4][2], const uint8_t picture[kPatternValues],
                           const PatternSet* patterns, int32_t patternId, int32_t direction);

// The light over a marker, read on a ring round it (markShadeLightOf): either one
// straight edge between two levels, or a plane per channel; u, v are marker coordinates
// (0 ... 1 along edges 0 and 3 from corner 0).
struct MarkShadeLight {
    bool edge;
    // Edge: a * u + b * v + c > 0 on the side of levels [0]; the step's half width in
    // marker units.
    double line[3];
    double width;
    double paper[2][3], ink[2][3];
    // Plane: value = p[0] + p[1] u + p[2] v per channel.
    double paperPlane[3][3], inkPlane[3][3];
};

// The light over a marker as markShadeConfidence models it (cornerPoints in ideal pixels,
// taken to observed ones through `distortion`) into *light. Returns false (*light
// unspecified) when a ring read falls outside the frame or the model cannot be fitted.
// Reads the frame only.
bool markShadeLightOf(const uint8_t* frame, int width, int height, const double distortion[4],
                      const double cornerPoints[4][2], MarkShadeLight* light);

// markPixelCorrelation with a shadow's edge evened out: each pixel's grey level is mapped
// from its local ink (darkness 255) to its local paper level (0) under `light` (from
// markShadeLightOf on the same corners), the two taken at least 6 grey levels apart. The
// edge darkens part of the picture's paper to the ink of the rest, which the plain
// correlation reads as print. Returns -1.0 when the light has no edge (an even light or a
// gradient changes the plain correlation little), or as markPixelCorrelation does.
double markShadePixelCorrelation(const uint8_t* frame, int width, int height,
                                 const double distortion[4], const double cornerPoints[4][2],
                                 const PatternSlot& slot, int direction,
                                 const MarkShadeLight& light);

// ---- Real-world options (robust.cpp) -------------------------------------------------------

// Minimum area of the robust preset, pixels: the ring of a marker about 7 px across.
constexpr int kMarkAreaMinSmall = 36;

// The frame-sized search's settings for a detector's options on a width x height
// frame: maxArea scaled with the frame when frameSized is set or the frame exceeds
// kMarkFixedPixelMax (and maxArea is the default), capacity candidateMax.
MarkWideSettings markWideSettingsOf(const MarkOptions& options, int width, int height);

// ---- The second look (second.cpp) -----------------------------------------------------------

// Edge lines, corners and identity of one candidate into *marker (its area and centroid
// too), as markDetectorGetInfo makes them with the detector's options. Returns 0, or -1
// when the edge lines cannot be fitted (*marker then partly written).
int markCandidateInfo(const MarkDetector* detector, const uint8_t* frame,
                      const SquareCandidate& candidate, DetectedMarker* marker);

// The second look of option secondLook (detect.h) after a run of the frame-sized search
// (detector->wide holds its regions): markers[0 ... count - 1] are the fresh markers of
// markDetectorGetInfo; identified markers found in the windows replace unidentified
// ones at their place or are appended while fewer than candidateMax are listed.
// Returns the new count. Needs no memory beyond the detector's second-look tables
// (made on first use); when they cannot be allocated nothing changes.
int32_t markSecondLook(MarkDetector* detector, const uint8_t* frame, DetectedMarker* markers,
                       int32_t count);

// The shade search of option shadeSearch (detect.h): tiles of the frame in shade are
// thresholded again on their own, smoothed and stretched, at Otsu's level and fixed
// ones; identified markers found there replace unidentified ones at their place or are
// appended while fewer than candidateMax are listed. Returns the new count. Uses the
// second-look tables (made on first use); when they cannot be allocated nothing changes.
int32_t markShadeSearch(MarkDetector* detector, const uint8_t* frame, DetectedMarker* markers,
                        int32_t count);

// Releases a detector's second-look tables (nullptr is ignored).
void markSecondRelease(MarkSecondWork* work);
