// detect: finding square black-bordered markers in a colour frame.
//
// markDetect is the one entry point. Per frame it runs four stages:
//   1. markLabel: global threshold, 8-connected regions of dark pixels;
//   2. markFindSquares: outer contours of plausible regions, quadrilateral test,
//      removal of candidates lying on a larger one;
//   3. markGetInfo: a straight line fitted to each edge in ideal (distortion-free)
//      coordinates, corners from their intersections, the inner picture sampled and
//      matched against the loaded patterns (pattern/pattern.h);
//   4. the marker history: a marker seen more confidently in one of the last frames
//      keeps that identity and orientation, weak identities are dropped, and a
//      recognised marker that vanishes is still reported for two more frames.
//
// Use: camParamInit (camera/camera.h) installs the frame size; load the patterns; then
// per frame:
//     DetectedMarker* list; int32_t count;
//     if (markDetect(frame, threshold, &list, &count) < 0) { ...failed... }
//     for (i < count) use list[i];
//
// Frames: camImageWidth x camImageHeight pixels of 4 bytes in the order blue, green,
// red, unused (never read); rows top to bottom without padding; pixel (x, y) starts at
// byte (y * width + x) * 4. Image coordinates: x to the right, y downwards, (0, 0) the
// first pixel. "Observed" = captured image pixels; "ideal" = distortion-free camera
// model (camObservToIdeal).
//
// Storage: everything is owned by the detector and sized once. The per-pixel buffers
// are sized from the installed image size on the first call after it grows (so frames
// beyond 1,048,576 pixels work, up to kMarkPixelMax); the frame-sized path's label and
// square tables grow when a frame needs more and are kept. No other allocation
// happens per frame except the small matrices of edge fitting and pattern sampling,
// released in the same call. Everything returned stays valid until the next call of the stage
// that produced it (for markDetect: until the next markDetect).
//
// Result codes: 0 success, -1 failure. Diagnostics ("??? 1\n" ...) go to standard
// output. Single-threaded, not reentrant.
#pragma once

#include <cstdint>

// ---- Capacities ---------------------------------------------------------------------

// Provisional labels of one frame: the label image holds signed 16-bit values.
constexpr int kMarkLabelMax = 32767;
// Equivalence table and region arrays: one entry per provisional label (+1 spare).
constexpr int kMarkRegionMax = 32768;
static_assert(kMarkLabelMax < kMarkRegionMax, "every label needs a table entry");
// Contour points stored per candidate. A trace fails once it reaches 9999 points, and
// the closing copy appended after rotation makes at most 9999 stored points.
constexpr int kMarkContourMax = 10000;
// Candidates per frame; later acceptable regions are ignored.
constexpr int kMarkCandidateMax = 30;
// Markers recognised per frame are at most kMarkCandidateMax; each history entry
// survives two ageing steps unless refreshed, so at most 3 * 30 entries exist.
constexpr int kMarkHistoryMax = 3 * kMarkCandidateMax;
// markDetect's output: the fresh markers followed by those recalled from the history.
constexpr int kMarkOutputMax = kMarkCandidateMax + kMarkHistoryMax;
// Largest frame the detector accepts: width * height at most 2^26 (e.g. 8192 x 8192)
// and each side below 2^15. Then every integer of the contour geometry fits 32 bits:
// squared distances are below 2 * 2^30, chord terms |a*x| <= width * height.
constexpr int64_t kMarkPixelMax = int64_t(1) << 26;
constexpr int kMarkSideMax = 32767;

// Parameters markDetect passes to markFindSquares.
constexpr int kMarkAreaMax = 100000;  // pixels
constexpr int kMarkAreaMin = 70;      // pixels
constexpr double kMarkSquareFactor = 1.0;

// ---- Records ---------------------------------------------------------------------------

// A region that passed the size, border and square tests. Used by markGetInfo and (its
// contour and corners) by patternSample.
struct SquareCandidate {
    int32_t area;                     // pixel count of the dark region, minArea ...
                                      // maxArea of markFindSquares (70 ... 100000)
    double centroid[2];               // region centroid x, y, observed pixels
    int32_t pointCount;               // contour points stored, including a closing
                                      // copy of point 0 at index pointCount - 1
    int32_t pointX[kMarkContourMax];  // outer boundary pixels of the region, 8-connected,
    int32_t pointY[kMarkContourMax];  // clockwise on the screen, label-image coordinates;
                                      // point 0 is a corner
    int32_t corners[5];               // contour indices of the four corners: 0, then
                                      // 0 < c1 < c2 < c3 < pointCount - 1 in contour
                                      // (clockwise) order, then pointCount - 1
};

// One detected square. Read by the application and by pose estimation.
struct DetectedMarker {
    int32_t area;               // pixel count of the marker's dark region
    int32_t patternId;          // slot of the best matching pattern (pattern.h), or -1
                                // when none is recognised (confidence below 0.5)
    int32_t direction;          // 0 ... 3: the stored orientation of the best match;
                                // -1 when no pattern correlates positively. Kept when
                                // patternId is dropped for low confidence (a uniform
                                // sample leaves 0)
    double confidence;          // normalised correlation 0 ... 1 of that match; 0.0 when
                                // nothing correlates positively, -1.0 for a uniform sample
    double centroid[2];         // region centroid x, y in OBSERVED pixels
    double edgeLines[4][3];     // (a, b, c): line a*x + b*y + c = 0 through edge i in
                                // IDEAL pixels, (a, b) a unit vector; edge i runs from
                                // corner i to corner i + 1 (corner 4 = corner 0)
    double cornerPoints[4][2];  // corner i (x, y) in IDEAL pixels: intersection of
                                // edgeLines (i + 3) mod 4 and i; clockwise on the screen
};

// One remembered marker.
struct HistoryEntry {
    DetectedMarker marker;  // full copy of a marker with patternId >= 0
    int32_t age;            // 1 when stored by the current call, +1 per later call;
                            // entries reaching 4 are dropped
};

// ---- Module state (read by tests; zero at start, never reset) ----------------------------

extern HistoryEntry markHistory[kMarkHistoryMax];
extern int32_t markHistoryCount;  // entries in use, 0 ... kMarkHistoryMax

// ---- Detection driver ------------------------------------------------------------------

// Detects the markers of one frame (layout above, camImageWidth x camImageHeight).
// threshold: a pixel is dark when blue + green + red <= 3 * threshold (any int; the
// product is formed without overflow). Sets *markerCount to 0 first. On success
// returns 0 and sets *markerList to the detector's list (fresh markers in candidate
// order, then markers recalled from the history) and *markerCount to its length
// (0 ... kMarkOutputMax); both valid until the next call.
// Frames of at most 1,048,576 pixels run the stages below exactly: 16-bit labels, the
// first kMarkCandidateMax squares in region order, areas kMarkAreaMin ... kMarkAreaMax.
// Larger frames run a frame-sized path instead: labels as many as the frame needs
// (32-bit), the maximum area scaled with the frame (kMarkAreaMax * width * height /
// (640 * 480)), overlaps removed among all squares, then the kMarkCandidateMax
// largest kept (ties: the earlier region), in region order.
// Returns -1 when labeling fails (more than 32767 provisional labels on a frame of at
// most 1,048,576 pixels, frame null, no image size installed, frame too large or
// buffers not allocatable); *markerList is then untouched, *markerCount is 0 and the
// history is unchanged.
int markDetect(const uint8_t* frame, int threshold, DetectedMarker** markerList,
               int32_t* markerCount);

// ---- Stages (used by markDetect; public for tests and tools) ------------------------------

// Stage 1. Binarises `frame` and labels its dark pixels in one raster pass with an
// equivalence table. Returns the label image (width * height signed 16-bit entries,
// index y * width + x; outermost rows and columns 0; inner entries 0 for background,
// else a provisional label 1 ... 32767; pixel (x, y) belongs to region
// labelTable[L - 1]), or nullptr on failure: frame null, no image installed
// (camImageWidth or camImageHeight < 1), width * height > kMarkPixelMax or a side
// above kMarkSideMax, buffers not allocatable, or a dark pixel needing provisional
// label 32768; outputs are then not set.
// On success *regionCount is the number of regions, numbered 1 ... in raster order of
// their first pixel, and when it is at least 1 the arrays are set (indexed by region
// number - 1): *regionArea pixel counts; *regionCentroid x, y pairs (2 per region);
// *regionBox xmin, xmax, ymin, ymax (4 per region); *labelTable maps provisional label
// n (entry n - 1) to its region number. All storage belongs to the detector and is
// valid until the next markLabel.
int16_t* markLabel(const uint8_t* frame, int threshold, int32_t* regionCount, int32_t** regionArea,
                   double** regionCentroid, int32_t** regionBox, int32_t** labelTable);

// Stage 2. From the regions of markLabel (its outputs, unchanged) keeps those with
// minArea <= area <= maxArea whose box does not reach the outermost labelled rows or
// columns, traces their outer contours and keeps the quadrilaterals (factor scales the
// corner threshold; markDetect uses kMarkAreaMax, kMarkAreaMin, kMarkSquareFactor).
// A trace failure prints "??? 1\n", "??? 2\n" or "??? 3\n" and skips the region. Then
// removes every candidate whose centroid lies within a quarter of the area (squared
// distance) of a larger one, or of a later one of equal area. The region arrays are
// read only when regionCount >= 1. Sets *candidateList to the detector's list and
// *candidateCount to its length 0 ... kMarkCandidateMax (valid until the next call).
// Returns 0.
int markFindSquares(const int16_t* labelImage, int32_t regionCount, const int32_t* labelTable,
                    const int32_t* regionArea, const double* regionCentroid,
                    const int32_t* regionBox, int maxArea, int minArea, double factor,
                    SquareCandidate** candidateList, int32_t* candidateCount);

// Stage 3. Turns each candidate into a DetectedMarker in candidate order: fits the four
// edge lines (markFitEdges), samples and matches the inner picture (patternSample,
// patternMatch). Candidates whose fitting fails are dropped without a gap. Sets
// *markerList to the detector's marker list (room for kMarkOutputMax records; markDetect
// appends recalled markers after the fresh ones) and *markerCount to the number
// produced (0 ... min(candidateCount, kMarkCandidateMax)). Returns 0.
int markGetInfo(const uint8_t* frame, const SquareCandidate* candidates, int32_t candidateCount,
                DetectedMarker** markerList, int32_t* markerCount);

// ---- Helpers of the stages (public for tests) -----------------------------------------------

// Traces the outer 8-connected boundary of region `region` (1-based) clockwise on the
// screen, starting at the first pixel of the region in row box[2] (box = xmin, xmax,
// ymin, ymax), into cand->pointX/pointY, then rotates it so that point 0 is the point
// farthest from the start and appends a closing copy. Returns 0, or -1 after printing
// "??? 1\n" (no start pixel), "??? 2\n" (isolated pixel) or "??? 3\n" (9999 points
// without closing); cand is then not to be used. labelImage must have the frame's
// geometry with zero outermost rows and columns (as markLabel returns it).
int markTraceContour(const int16_t* labelImage, const int32_t* labelTable, int32_t region,
                     const int32_t box[4], SquareCandidate* cand);

// Square test on a traced contour: finds exactly four corners by recursive chord
// splitting with threshold area / 0.75 * 0.01 * factor (squared pixels) and stores them
// in cand->corners. Returns 0, or -1 when the contour is not a quadrilateral or its
// pointCount lies outside 2 ... kMarkContourMax (corners then not to be used).
int markCheckSquare(int32_t area, SquareCandidate* cand, double factor);

// Recursive vertex search on contour points s ... e (valid indices, s <= e): appends
// to vertex[] (capacity 6; *vertexCount entries on entry, 0 for a fresh search) every
// point whose squared distance from the chord exceeds threshold (squared pixels), in
// contour order. Returns 0, or -1 when more than 6 vertices would result (the list is
// then not to be used).
int markGetVertex(const int32_t* pointX, const int32_t* pointY, int32_t s, int32_t e,
                  double threshold, int32_t vertex[6], int32_t* vertexCount);

// Fits edgeLines (ideal pixels, through camObservToIdeal with camCurrentParam) to the
// four edges of a contour between corners[0 ... 4] (increasing indices into pointX and
// pointY, as markCheckSquare leaves them) and intersects neighbouring lines into
// cornerPoints. Returns 0, or -1 when an edge keeps fewer than 2 points, the principal
// component analysis fails, a matrix cannot be allocated, or two neighbouring lines are
// exactly parallel (outputs then not to be used).
int markFitEdges(const int32_t* pointX, const int32_t* pointY, const int32_t corners[5],
                 double edgeLines[4][3], double cornerPoints[4][2]);
