// detect: finding square black-bordered markers in a colour frame.
//
// A MarkDetector owns everything one video stream needs: its image size and camera,
// its options, its buffers, its output list, its marker history and its statistics,
// plus a reference to a pattern set (pattern/pattern.h) that several detectors may
// share. markDetectorRun runs four stages per frame:
//   1. labeling: global threshold, 8-connected regions of dark pixels;
//   2. squares: outer contours of plausible regions, quadrilateral test, removal of
//      candidates lying on a larger one;
//   3. marker information: a straight line fitted to each edge in ideal
//      (distortion-free) coordinates, corners from their intersections, the inner
//      picture sampled and matched against the patterns;
//   4. the marker history: a marker seen more confidently in one of the last frames
//      keeps that identity and orientation, weak identities are dropped, and a
//      recognised marker that vanishes is still reported for two more frames.
//
// Use:
//     MarkOptions options = markDefaultOptions();
//     options.threshold = 100;
//     MarkDetector* d = markDetectorCreate(&options, patterns);
//     if (d == nullptr || markDetectorSetCamera(d, &camera) < 0) { ...failed... }
//     per frame:
//         DetectedMarker* list; int32_t count;
//         if (markDetectorRun(d, frame, &list, &count) < 0) { ...failed... }
//         for (i < count) use list[i];   // poseGetTransformWith(&camera, ...)
//     markDetectorRelease(d);
// Different detectors share nothing but a pattern set (read only while they run), so
// each may run on its own thread; one detector must not run on two threads at once.
//
// The functions without a detector argument (markDetect, markLabel, markFindSquares,
// markGetInfo, markTraceContour, markFitEdges) and markHistory / markHistoryCount are
// the process's default detector (markDetectorDefault()), which takes its image size
// and camera from camImageWidth, camImageHeight and camCurrentParam (camera/camera.h)
// at every call, matches against the default pattern set, and prints its diagnostics
// on standard output. The viewer uses them.
//
// Frames: width x height pixels of 4 bytes in the order blue, green, red, unused
// (never read); rows top to bottom without padding; pixel (x, y) starts at byte
// (y * width + x) * 4. Image coordinates: x to the right, y downwards, (0, 0) the
// first pixel. "Observed" = captured image pixels; "ideal" = distortion-free camera
// model (camObservToIdeal).
//
// Storage: everything is owned by the detector and sized when the camera or the
// options are set. The per-pixel buffer of the default detector is sized from the
// installed image size on the first call after it grows (so frames beyond 1,048,576
// pixels work, up to kMarkPixelMax); no other allocation happens per frame except the
// small matrices of edge fitting and pattern sampling, released in the same call.
// Everything returned stays valid until the next call of the stage that produced it
// on the same detector (for a run: until the next run).
//
// Result codes: 0 success, -1 failure. Diagnostics of contour tracing ("??? 1\n" ...)
// go to the detector's diagnostic callback; nothing else here prints.
#pragma once

#include <cstdint>

#include "camera/camera.h"

struct PatternSet;

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

// Parameters markDetect passes to markFindSquares (the defaults of MarkOptions).
constexpr int kMarkAreaMax = 100000;  // pixels
constexpr int kMarkAreaMin = 70;      // pixels
constexpr double kMarkSquareFactor = 1.0;

// Largest MarkOptions::candidateMax: 1024 candidates hold about 80 MiB of contour
// storage (80 KiB each), far more than a frame of real markers needs.
constexpr int kMarkCandidateCap = 1024;
// Largest MarkOptions::historyAgeLimit (a history capacity of 15 * candidateMax).
constexpr int kMarkAgeLimitCap = 16;

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

// Every tunable of a detector. Start from markDefaultOptions() and change fields; the
// defaults compute exactly what markDetect computes.
struct MarkOptions {
    int32_t threshold;        // a pixel is dark when blue + green + red <= 3 * threshold;
                              // any int (0 ... 255 matter). Default 100
    int32_t minArea;          // smallest region, pixels, that may be a marker. Default 70
    int32_t maxArea;          // largest region, pixels. Default 100000, which frames
                              // beyond 1,048,576 pixels scale with their pixel count
                              // (as markDetect does); any other value is used as is
    double squareFactor;      // scales the corner threshold of the quadrilateral test
                              // (larger: rounder shapes still pass). Default 1.0
    int32_t candidateMax;     // candidates per frame, 1 ... kMarkCandidateCap; later
                              // acceptable regions are ignored (on the frame-sized search:
                              // the largest are kept, see frameSized). Default 30
                              // (kMarkCandidateMax)
    double confidenceMin;     // identities with a lower correlation are dropped
                              // (patternId -1). Default 0.5
    int32_t historyAgeLimit;  // a remembered marker is recalled for historyAgeLimit - 2
                              // frames after its last sighting; 1 ... kMarkAgeLimitCap.
                              // Default 4
    int32_t timeStages;       // 1: measure each stage's time into MarkStats::stageSeconds
                              // (costs two clock reads per stage); 0: leave them 0.
                              // Default 0

    // Real-world options, each 0 or 1, all 0 by default; markRobustOptions() turns them
    // on. Frames beyond 1,048,576 pixels always take the frame-sized search.
    int32_t frameSized;         // 1: the frame-sized search at every frame size: labels as
                                // many as the frame needs (32-bit), maxArea scaled with the
                                // frame (maxArea * width * height / (640 * 480), never
                                // below maxArea), overlaps removed among all squares, then
                                // the candidateMax largest kept (ties: the earlier region)
                                // in region order. Bit-identical to the fixed search on a
                                // frame with at most candidateMax squares and no more than
                                // 32767 labels. Default 0
    int32_t localThreshold;     // 1: a pixel is dark when its grey level (mean of blue,
                                // green, red) lies below the mean of the localWindow square
                                // around it minus localOffset minus localPercent % of that
                                // mean; threshold is then not used. Runs on the
                                // frame-sized search. Default 0
    int32_t localWindow;        // side of that square, pixels, odd 3 ... 1023; 0: a
                                // sixteenth of the frame's shorter side, made odd, at
                                // least 15. Default 0
    int32_t localOffset;        // grey levels, 0 ... 255. Default 2
    int32_t localPercent;       // percent of the local mean, 0 ... 99 (a shadow scales
                                // contrast with the light). Default 15
    int32_t localCells;         // 1: the local mean is read from cells of 4 x 4 pixels: the
                                // (2k + 1) x (2k + 1) cells around the pixel's own, k =
                                // localWindow / 8 (at least 1), a cell cut by the frame's
                                // edge counting the pixels it holds (the window's side lies
                                // within 4 px of localWindow, its centre within 2 px of the
                                // pixel). Half the work of the window round each pixel; a
                                // few markers fewer across sharp shadow edges. Default 0
    int32_t localCeiling;       // grey levels, 0 ... 255; 0: none. Under the local threshold
                                // a pixel whose blue + green + red exceeds 3 * localCeiling
                                // is never dark: lit print that blur has lightened is left
                                // out (ink in full light stays far below). Default 0
    int32_t enclosedTolerance;  // 1: the quadrilateral test's tolerance comes from the area
                                // the outline encloses (times 3/4) instead of the dark
                                // pixels, so thin or eroded borders keep their corners.
                                // Runs on the frame-sized search. Default 0
    int32_t edgeRefinement;     // 1: each fitted edge is moved to the strongest
                                // dark-to-light step across it (bilinear grey levels along
                                // the edge normal, +-3 px; steps more than 2 px from the
                                // fitted line ignored; a corner moving more than 4 px keeps
                                // the fitted geometry). Default 0
    int32_t bilinearSampling;   // 1: the picture is sampled at the fitted corners (after
                                // refinement) with bilinear interpolation instead of at the
                                // contour's integer corner pixels. Default 0
    int32_t softMatching;       // 1: a marker 12 to 40 px across whose picture correlates
                                // at least 0.4 but below confidenceMin is matched again
                                // with sample and patterns both smoothed by 0.75 of a
                                // pattern cell (patternSetMatchSoft) and takes that
                                // confidence when it names the same pattern the same way
                                // round: small, blurred markers are named more often.
                                // Default 0
    int32_t pixelMatching;      // 1: a marker 11 to 40 px across whose best match stays
                                // below confidenceMin (after soft matching) but correlates
                                // at least 0.15 is checked against that pattern and
                                // orientation drawn onto the frame's pixels through its
                                // corners (each pixel averaging what 2 x 2 px around its
                                // centre cover: the pixel and the blur) and correlated
                                // there; a correlation of at least 0.75 becomes its
                                // confidence, and one of at least 0.7 when every other
                                // loaded pattern and orientation correlates at least 0.25
                                // less (noise in deep shade). Names small markers whose
                                // picture is only 5 to 20 px wide. Default 0
    int32_t secondLook;         // 1: after the first pass, small windows where a marker
                                // may have been missed are thresholded again on their own:
                                // the boxes of dark regions that failed the square test
                                // (with a quarter of their size around them) and of
                                // unidentified squares (just inside their outline), when
                                // 16 px to a sixth of the frame's shorter side across and
                                // not covering their own centroid (a ring does not; print
                                // and specks do); at most 48 windows per frame, the largest
                                // regions first. Each window is smoothed (3 x 3), stretched
                                // to its own darkest and lightest level and split at Otsu's
                                // threshold; its squares are fitted, refined and matched
                                // like the others and kept only when identified
                                // (confidence at least confidenceMin) where no identified
                                // marker lies (an unidentified one there is replaced; new
                                // ones are added while fewer than candidateMax are
                                // listed). Also windows round small blobs lying in the
                                // hole of one larger region where no identified marker lies
                                // (a picture whose ring joined a shadow or a dark object
                                // beside it), split at Otsu's threshold and at 20, 35, 50,
                                // 70 and 100 of the stretched range, their squares also
                                // checked against the pattern drawn into their pixels (at
                                // least 0.7). Last, rings 12 to 32 px across that failed the
                                // square test (blur rounds a small marker's corners) take the
                                // largest quadrilateral on their outline when it lies within
                                // a tenth of their size of every outline point, kept when
                                // identified and drawn into their pixels at least 0.85.
                                // Regions too large for a window that are no identified
                                // square (at most 16 per frame, the largest first) are
                                // split at Otsu's threshold of their own grey levels when
                                // the two classes look like ink and shadowed paper (means
                                // 8 or more and 60 or less, at least 10 levels and a factor
                                // 2 apart, each at least 1/16 of the pixels): only the
                                // darker class is dark, and new squares found there where
                                // no marker lies are kept when identified and drawn into
                                // their pixels at least 0.7 or matched at least 0.8 (a ring
                                // joined to a shadow's dark band by the local threshold).
                                // Finds markers in deep shade, broken by noise, on a dark
                                // patch, touching something dark or a shadow's edge, or
                                // small and blurred. Runs on the frame-sized search.
                                // Default 0
    int32_t shadeMatching;      // 1: a marker whose best match stays below confidenceMin
                                // (after soft and pixel matching) but correlates at least
                                // 0.3 is matched again with the light evened out across
                                // its picture: paper and ink read on a ring just outside
                                // its outline and in its border give the light as one
                                // straight shadow edge between two levels (or a plane),
                                // and each cell is mapped from its local ink to its local
                                // paper level. That confidence is taken when it names the
                                // same pattern the same way round and reaches
                                // confidenceMin. Pixel checks that fall short (pixel
                                // matching's, from 0.3 up, and the second look's and the
                                // shade search's) are taken again with a shadow's edge
                                // evened out the same way on the pixels. Names markers
                                // with a shadow's edge across them. Default 0
    int32_t shadeSearch;        // 1: after the first pass (and the second look), tiles in
                                // shade are thresholded again on their own: tiles of 16
                                // px per 120 px of the frame's shorter side (at least 32
                                // px; 96 at 720 lines), overlapping by half, whose mean
                                // grey level is 50 or less, smoothed over 3 x 3 pixels and
                                // stretched to their own darkest and lightest levels, are
                                // split at Otsu's level and at 20, 35, 50 and 70 of 255;
                                // squares found there where no identified marker lies and
                                // whose dark pixels fill at most 0.85 of their outline are
                                // kept when identified and their pattern drawn
                                // into their pixels correlates at least 0.7. Finds markers
                                // in deep shade and on the dark side of a shadow's edge,
                                // where one threshold per pixel leaves a ring broken by
                                // noise or joined to shadowed paper. Runs only when at
                                // least a fifth of the tiles lie in shade; there it about
                                // doubles the preset's time. Default 0
};

// The stages a run times, in order.
enum MarkStage {
    kMarkStageLabel = 0,  // thresholding and labeling
    kMarkStageSquares,    // contours, quadrilateral test, overlap removal
    kMarkStageInfo,       // edge fitting, sampling, matching
    kMarkStageHistory,    // carry-over, confidence floor, ageing, recall
    kMarkStageCount
};

// What the last run of a detector saw, stage by stage (all 0 before the first run
// and after a run that failed in labeling, except regions then stays 0 too). They
// answer "why was my marker not found": a marker must pass each count in turn.
struct MarkStats {
    int32_t regions;         // dark regions labelled
    int32_t sizedRegions;    // of these, within minArea ... maxArea
    int32_t squares;         // of those, quadrilaterals away from the frame edge (before
                             // overlap removal; at most candidateMax)
    int32_t candidatesFull;  // 1 when candidateMax squares were found before every
                             // region had been examined (the rest were not traced:
                             // raise candidateMax), else 0
    int32_t candidates;      // squares kept after overlap removal
    int32_t markers;         // candidates whose edge lines could be fitted: fresh markers
                             // (with secondLook, also those the second look added)
    int32_t recognised;      // fresh markers with an identity after the confidence floor
    int32_t recalled;        // markers reported from the history, not seen this frame
    double stageSeconds[kMarkStageCount];  // wall time of each stage, seconds, when
                                           // MarkOptions::timeStages is 1; else 0
};

// Receives one diagnostic line of a detector (message ends with "\n"); user is the
// pointer given with the callback.
typedef void (*MarkDiagnosticFunc)(void* user, const char* message);

struct MarkLabelWork;   // labeling's tables, private to detect/
struct MarkWideWork;    // the frame-sized path's tables, private to detect/
struct MarkSecondWork;  // the second look's tables, private to detect/

// One detector. Created by markDetectorCreate, changed only through the functions
// below; the fields may be read at any time between calls.
struct MarkDetector {
    MarkOptions options;            // as last set
    CameraParam camera;             // installed camera; width x height is the frame size
                                    // (0 x 0 until markDetectorSetCamera)
    const PatternSet* patterns;     // matched against; not owned; nullptr matches nothing
    MarkDiagnosticFunc diagnostic;  // nullptr: diagnostics are dropped
    void* diagnosticUser;           // handed to diagnostic
    MarkStats stats;                // of the last run
    HistoryEntry* history;          // historyCapacity entries, historyCount in use
    int32_t historyCount;
    int32_t historyCapacity;  // (historyAgeLimit - 1) * candidateMax
    int32_t historyWidth;     // frame size the remembered positions belong to; a run
    int32_t historyHeight;    // or camera of another size empties the history
    // Storage, owned by the detector (the default detector's is static).
    SquareCandidate* candidates;  // candidateMax entries
    DetectedMarker* markers;      // markerCapacity entries: fresh markers, then recalled
    int32_t markerCapacity;       // candidateMax + historyCapacity
    MarkLabelWork* label;         // label image and region tables (about 2.8 MiB)
    MarkWideWork* wide;           // frame-sized path (frames beyond 1,048,576 pixels);
                                  // made on first use
    MarkSecondWork* second;       // the second look (option secondLook); made on first use
    int32_t owned;                // 1 for a detector from markDetectorCreate
};

// ---- Default detector state (read by tests; zero at start) ---------------------------------

extern HistoryEntry markHistory[kMarkHistoryMax];
extern int32_t& markHistoryCount;  // entries in use, 0 ... kMarkHistoryMax

// ---- Detector object ----------------------------------------------------------------------

// The options every detector starts from: the constants above.
MarkOptions markDefaultOptions();

// The `robust` preset for webcams and photographs: markDefaultOptions() with every
// real-world option on (localCells excepted), a localCeiling of 100, minArea 36 (markers
// down to about 7 px across) and candidateMax 128 (busy scenes with many markers). For
// the default detector, whose candidate storage is fixed, keep candidateMax at
// kMarkCandidateMax.
MarkOptions markRobustOptions();

// 0 when every field of *options is within its documented range, else -1.
int markOptionsCheck(const MarkOptions* options);

// New detector with *options (nullptr: markDefaultOptions()) matching against
// `patterns` (not owned; may be nullptr and set later). No camera is installed and
// no diagnostic callback is set. Returns nullptr when the options are out of range or
// the storage cannot be allocated (nothing leaks). Release with markDetectorRelease.
MarkDetector* markDetectorCreate(const MarkOptions* options, const PatternSet* patterns);

// Releases a detector from markDetectorCreate and everything it owns; nullptr and the
// default detector are ignored.
void markDetectorRelease(MarkDetector* detector);

// The detector behind markDetect and the other functions without a detector argument.
MarkDetector* markDetectorDefault();

// Installs the camera: the frame size becomes camera->width x camera->height and edge
// fitting uses camera->distortion. Sizes the per-pixel buffer. A size different from
// the installed one empties the history (remembered positions belong to the old
// frame). Returns 0, or -1 when a side is below 1 or above kMarkSideMax, the frame
// exceeds kMarkPixelMax pixels or the buffer cannot be allocated; the detector then
// keeps its previous camera, buffer and history.
int markDetectorSetCamera(MarkDetector* detector, const CameraParam* camera);

// Replaces the options. A change of candidateMax or historyAgeLimit resizes the
// storage and empties the history (and is refused for the default detector, whose
// storage is static). Returns 0, or -1 (detector unchanged) when the options are out
// of range, the storage cannot be allocated, or the default detector would resize.
int markDetectorSetOptions(MarkDetector* detector, const MarkOptions* options);

// Matches against `patterns` from the next run on (not owned; nullptr: none).
void markDetectorSetPatterns(MarkDetector* detector, const PatternSet* patterns);

// Diagnostics go to func(user, message) from now on; nullptr drops them. The default
// detector starts with markDiagnosticPrint.
void markDetectorSetDiagnostic(MarkDetector* detector, MarkDiagnosticFunc func, void* user);

// A diagnostic callback that prints the message on standard output.
void markDiagnosticPrint(void* user, const char* message);

// Forgets every remembered marker.
void markDetectorResetHistory(MarkDetector* detector);

// Detects the markers of one frame of the installed size (layout above), with
// options.threshold: the same stages and results as markDetect, including its
// frame-sized path for frames beyond 1,048,576 pixels. Sets *markerCount to
// 0 first. On success returns 0 and sets *markerList to the detector's list (fresh
// markers in candidate order, then markers recalled from the history) and
// *markerCount to its length (0 ... markerCapacity); both valid until the next run.
// Updates detector->stats. When labeling succeeds on a frame size other than the one
// the history was filled at, the history is emptied first. Returns -1 when labeling
// fails (frame null, no camera
// installed, buffers not allocatable, more than 32767 provisional labels);
// *markerList is then untouched, *markerCount is 0 and the history is unchanged.
int markDetectorRun(MarkDetector* detector, const uint8_t* frame, DetectedMarker** markerList,
                    int32_t* markerCount);

// The stages of markDetectorRun on a detector, with the contracts of markLabel,
// markFindSquares and markGetInfo below (the frame size is the detector's, the
// capacity candidateMax, and the outputs belong to the detector).
int16_t* markDetectorLabel(MarkDetector* detector, const uint8_t* frame, int threshold,
                           int32_t* regionCount, int32_t** regionArea, double** regionCentroid,
                           int32_t** regionBox, int32_t** labelTable);
int markDetectorFindSquares(MarkDetector* detector, const int16_t* labelImage, int32_t regionCount,
                            const int32_t* labelTable, const int32_t* regionArea,
                            const double* regionCentroid, const int32_t* regionBox, int maxArea,
                            int minArea, double factor, SquareCandidate** candidateList,
                            int32_t* candidateCount);
int markDetectorGetInfo(MarkDetector* detector, const uint8_t* frame,
                        const SquareCandidate* candidates, int32_t candidateCount,
                        DetectedMarker** markerList, int32_t* markerCount);

// ---- Default detector: detection driver ----------------------------------------------------

// Detects the markers of one frame (layout above, camImageWidth x camImageHeight) with
// the default detector. The first successful call after the installed size changed
// starts with an empty history: remembered positions belong to the old frame.
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

// ---- Default detector: stages (used by markDetect; public for tests and tools) -------------

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
// A trace failure reports "??? 1\n", "??? 2\n" or "??? 3\n" to the detector's
// diagnostic callback (the default detector prints it) and skips the region. Then
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
// produced (0 ... min(candidateCount, kMarkCandidateMax)). Identities come from the
// default pattern set. Returns 0.
int markGetInfo(const uint8_t* frame, const SquareCandidate* candidates, int32_t candidateCount,
                DetectedMarker** markerList, int32_t* markerCount);

// The same stage with the count passed in and out: *count holds the candidate count on
// entry and the number of markers produced on return, and the result is the marker
// list. Forwards to the form above; the shorter call for callers that keep one count.
inline DetectedMarker* markGetInfo(const uint8_t* frame, const SquareCandidate* candidates,
                                   int32_t* count)
{
    DetectedMarker* markerList = nullptr;
    markGetInfo(frame, candidates, *count, &markerList, count);
    return markerList;
}

// ---- Helpers of the stages (public for tests) -----------------------------------------------

// Traces the outer 8-connected boundary of region `region` (1-based) clockwise on the
// screen, starting at the first pixel of the region in row box[2] (box = xmin, xmax,
// ymin, ymax), into cand->pointX/pointY, then rotates it so that point 0 is the point
// farthest from the start and appends a closing copy. Returns 0, or -1 after
// reporting "??? 1\n" (no start pixel), "??? 2\n" (isolated pixel) or "??? 3\n" (9999
// points without closing) to the default detector's callback; cand is then not to be
// used. labelImage must have the frame's
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
