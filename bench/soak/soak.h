// Soak of the vision core: many rendered frames through markDetect and
// poseGetTransform, set up as the viewer does (the shipped camera file resized to the
// frame size and installed, the four shipped patterns loaded in the configured order;
// per frame the detection, then for every pattern its most confident detection posed
// with a side of 80). Checks that memory stays flat and that nothing plainly wrong
// comes out, and reports the speed.
//
// The program reads in three parts:
//   setup.cpp, pool.cpp  set-up: options, the camera and patterns, the pool of rendered
//                        frames, the order they are played in and the per-frame change;
//   main.cpp             the frame loop: change a pool frame, detect and pose as the
//                        viewer does, check, and the report at the end;
//   checks.cpp           the checks of one frame, and memory.
//
// What is rendered. Rendering costs 3 to 30 ms a frame at 640 x 480 (bench_synth),
// far more than detection, so the scene renderer draws a pool once, before the soak:
//   - 16 trajectories of 4 to 16 steps (16 from 8,000 frames on), each a short
//     movement of its markers (the four shipped pictures, side 80): six ordinary scenes
//     (one to six markers, turning, tilting up to 55 degrees, with blur, sensor noise,
//     uneven light and sometimes clutter), four of markers entering and leaving the
//     frame, three of a nearer marker passing in front of another, three of a marker
//     sliding from wholly inside to mostly outside across an edge or corner;
//   - six noise-only frames (strong per-pixel noise around the threshold, or softened
//     random blocks of 4 to 16 pixels), three all-dark and three all-bright frames.
// The pool is stored as 3 bytes a pixel (about 250 MB at 640 x 480) with the
// renderer's ground truth of every marker.
//
// What varies per frame. The soak plays the pool as segments: a whole trajectory,
// forwards or backwards, each step shown for one or two frames, or a run of two to
// eight noise-only, dark or bright frames; segments are drawn at random, so markers
// also appear and vanish at cuts. Every frame is the pool frame with a fresh
// brightness gain (0.85 ... 1.15) and offset (-16 ... +16 grey levels), fresh noise
// (a window at a new random position of a precomputed table of Gaussian noise,
// sigma 4), a shake of the whole image by up to one pixel (never the shake of the
// two frames before) and a threshold drawn from 85 ... 115, so no two consecutive
// frames are the same and the detector's marker history sees markers move, vanish
// and return. The same seed gives the same frames, results and counts.
//
// Checks (each failure is counted, the first few are printed, the exit status is 1):
//   - resident size (VmRSS) after the first 1,000 frames and at the end within 1 MiB;
//     under AddressSanitizer, whose quarantine keeps freed blocks resident, the live
//     heap bytes instead;
//   - markDetect succeeds unless labeling fails on the frame (the labeling stage,
//     markLabel, run alone on the failed frame must fail too); after a failure the
//     count is 0, the list untouched and the detector's history unchanged; otherwise
//     its count lies in 0 ... kMarkOutputMax and every record is in range and finite;
//   - the history, read from the detector itself (markHistory before and after the
//     call): every recalled marker is an exact copy of a marker it remembered and
//     still remembers, no identity is recalled twice or both found and recalled, every
//     identity recognised afresh is remembered as its last fresh marker, and when
//     nothing is found but markers are remembered, some are recalled;
//   - the detector's statistics (MarkStats) agree with its list: the recalled count
//     splits it into fresh and recalled markers, each stage keeps at most what the one
//     before it passed, the recognised count is the fresh markers with an identity, and
//     a failed call leaves them all 0;
//   - no fresh marker on an all-dark or all-bright frame, no confidently recognised
//     one on a noise-only frame; a confidently recognised fresh marker (one whose
//     identity was not carried over from the history) lies on a rendered marker with
//     that picture;
//   - poseGetTransform returns -1 (transform untouched) or a finite error with a
//     finite transform whose rotation is orthonormal; for such a marker wholly in view
//     the pose projects its corners close to the rendered ones.
//
// Usage: soak [--frames N] [--size WxH] [--seed S] [--help]
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "synth/synth.h"
#include "tests/support/support.h"

// Defined in AddressSanitizer builds, where the memory check reads the live heap.
#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif

// ---- Set-up as the viewer's configuration has it ------------------------------------

inline constexpr const char* kSoakNames[4] = {"arrow", "moon", "bars", "key"};
constexpr int kSoakPictures = 4;
constexpr double kSoakSide = 80.0;  // marker side, millimetres, as configured

// ---- Frame kinds -----------------------------------------------------------------------

enum SoakKind {
    kOrdinary,
    kEnterLeave,
    kOverlap,
    kPartlyOutside,
    kNoiseOnly,
    kAllDark,
    kAllBright,
    kKindCount
};
inline constexpr const char* kSoakKindNames[kKindCount] = {
    "ordinary",   "entering/leaving", "overlapping", "partly outside",
    "noise only", "all dark",         "all bright"};
// How often a segment of each kind is chosen (relative weights).
constexpr int kSoakKindWeight[kKindCount] = {40, 15, 12, 13, 8, 6, 6};

// Trajectories in the pool per kind that moves markers.
constexpr int kSoakTrajectories[4] = {6, 4, 3, 3};
constexpr int kSoakNoiseFrames = 6, kSoakDarkFrames = 3, kSoakBrightFrames = 3;
constexpr int kSoakMaxSteps = 16;
constexpr int kSoakMaxPathMarkers = 6;
// A trajectory segment holds each step for at most 2 frames; a run at most 8 frames.
constexpr int kSoakSegmentMax = 2 * kSoakMaxSteps;
static_assert(kSoakSegmentMax >= 8, "a run of plain frames must fit a segment");
// Largest frame: the pool then takes about 1 GB at its smallest (4 steps).
constexpr long kSoakMaxPixels = 4L << 20;
// Pool memory above which fewer steps per trajectory are rendered.
constexpr double kSoakPoolBudgetBytes = 1.0e9;

// ---- Limits of the checks (tunable) ------------------------------------------------------

// Resident size growth allowed between frame 1,000 and the end.
constexpr long kSoakRssSlackKiB = 1024;
constexpr int kSoakRssFrame = 1000;
// A recognised marker at or above this confidence is taken as a claim to be checked.
constexpr double kSoakConfident = 0.8;
// Registration of a confidently recognised, wholly visible marker: its corners
// projected through the estimated pose versus the rendered ones, pixels. (Rotation and
// translation errors are only reported: a small tilted marker has two poses that fit
// its corners almost equally well, so a flipped tilt is no fault.)
// The limit: the corner tolerance of the rendered detection tests (about 1.3 px on each
// edge, up to 3 px at a sharp corner) plus 3% of the marker's longest side for the fit.
constexpr double kSoakRegistrationBasePx = 3.0;
constexpr double kSoakRegistrationPerSide = 0.03;
constexpr double kSoakRotationReportDeg = 20.0;
// How many failures of each check are printed in full.
constexpr int kSoakPrintLimit = 5;
// ---- Options -------------------------------------------------------------------------------

struct SoakOptions {
    long frames = 100000;
    int width = 640;
    int height = 480;
    uint64_t seed = 1;
};

// ---- The pool -------------------------------------------------------------------------

// One marker's movement over a trajectory: start and end of each parameter, linearly
// interpolated. Positions are frame fractions of the centre, sizes the apparent side
// as a fraction of the frame height (so the scene scales with the frame size).
struct SoakPath {
    int picture;
    double u0, v0, u1, v1;
    double size0, size1;
    double spin0, spin1, tilt0, tilt1, axis;
};

struct SoakTrajectory {
    SoakKind kind;
    int markerCount;
    SoakPath paths[kSoakMaxPathMarkers];
    int clutter;
    uint32_t clutterSeed, noiseSeed;
    double blur, noise, gradient, lightAngle;
    int first;  // pool index of step 0
};

struct SoakPool {
    int width = 0, height = 0;
    int steps = 0;
    std::vector<uint8_t> pixels;    // frames of width * height * 3 bytes (B, G, R)
    std::vector<SynthTruth> truth;  // per frame
    std::vector<SoakKind> kind;     // per frame
    std::vector<int> trajectoryOf;  // per frame: its trajectory, -1 for plain frames
    std::vector<SoakTrajectory> trajectories;
    std::vector<int> plain[kKindCount];  // pool indices of noise-only, dark, bright frames
    int frames = 0;
    double renderSeconds = 0.0;

    const uint8_t* frame(int i) const
    {
        return pixels.data() + static_cast<size_t>(i) * width * height * 3;
    }
};
// ---- Playing the pool (pool.cpp) ---------------------------------------------------------

// The order of pool frames: segments chosen at random (see the top of this file).
struct SoakSchedule {
    int list[kSoakSegmentMax];
    int length = 0;
    int position = 0;
    SoakKind kind = kOrdinary;

    // Chooses the next segment.
    void start(const SoakPool& pool, support::Random& rng);
    // The pool index of the next frame to play.
    int next(const SoakPool& pool, support::Random& rng);
};

// Fresh per-frame changes to a pool frame.
constexpr int kSoakNoiseTableBits = 20;
constexpr double kSoakNoiseSigma = 4.0;

struct SoakChange {
    std::vector<int8_t> noise;  // Gaussian, sigma kSoakNoiseSigma, clipped to +-12
    int16_t lut[256];
    uint32_t lastOffset = 0;
    int shift[2] = {0, 0};      // this frame's camera shake: the image moves by (dx, dy) pixels
    int lastShift[2] = {9, 9};  // the two frames before, as 3 * (dy + 1) + dx + 1

    void init(support::Random& rng);

    // Writes the pool frame `in` (width x height, B, G, R) with a new gain, offset, noise
    // window and a one-pixel shake into `out` (B, G, R, unused). The shake differs from
    // the last two frames', so a marker held still in the pool never gives the detector
    // the very same square twice in a row (which would make a fresh marker look exactly
    // like one the history recalls). Returns the threshold to use with the frame.
    int apply(const uint8_t* in, int width, int height, support::Random& rng, uint8_t* out);
};

// ---- Checks and counts ------------------------------------------------------------------

enum SoakCheck {
    kCheckDetectFailed,
    kCheckFailureContract,
    kCheckCount,
    kCheckRecord,
    kCheckRecall,
    kCheckStats,
    kCheckEmptyFrame,
    kCheckNoiseIdentity,
    kCheckWrongIdentity,
    kCheckPoseValue,
    kCheckPoseTruth,
    kCheckMemory,
    kCheckKinds
};
// What each check guards, as printed with its failures.
extern const char* const kSoakCheckNames[kCheckKinds];

struct SoakStats {
    long framesOfKind[kKindCount] = {};
    long freshOfKind[kKindCount] = {};
    long recognisedOfKind[kKindCount] = {};
    long recalledOfKind[kKindCount] = {};
    long labelOverflowOfKind[kKindCount] = {};
    long carriedOfKind[kKindCount] = {};
    long regionsOfKind[kKindCount] = {};  // the detector's statistics, summed
    long squaresOfKind[kKindCount] = {};
    long candidatesOfKind[kKindCount] = {};
    long candidatesFullOfKind[kKindCount] = {};  // frames with more squares than candidates
    long carriedElsewhere = 0;     // carried identities where no marker of that picture is
    double noiseConfidence = 0.0;  // highest confidence of a fresh marker on a noise-only frame
    long posed = 0, poseFailed = 0;
    long visibleOfKind[kKindCount] = {};  // rendered markers wholly in view and uncovered
    long foundOfKind[kKindCount] = {};    // of those, found afresh with their identity
    long truthPosed = 0, rotationOff = 0;
    double worstRotationDeg = 0.0, worstTranslation = 0.0, worstRegistrationPx = 0.0;
    long registrationOver[4] = {};  // above 1, 2, 4, 8 pixels
    long failures[kCheckKinds] = {};
    double detectSeconds = 0.0, changeSeconds = 0.0, slowestFrame = 0.0;
};

// What the soak loads before it starts, as the viewer's start-up does.
struct SoakSetup {
    CameraParam cam;                     // the shipped camera resized to the frame size
    SynthImage pictures[kSoakPictures];  // the shipped marker pictures
    int slotOfPicture[kSoakPictures];    // pattern slot of each picture
    int pictureOfSlot[kPatternSlotMax];  // picture of each slot, -1 for none
};

// ---- One frame ------------------------------------------------------------------------------

// What carries from frame to frame: the viewer's transforms, and what the checks need
// to know of the detector before its call.
struct SoakFrameState {
    double transform[kSoakPictures][3][4] = {};   // per pattern, as the viewer keeps them
    HistoryEntry historyBefore[kMarkHistoryMax];  // the detector's history before the call
    int historyCountBefore = 0;
    bool carried[kMarkOutputMax] = {};  // this frame's fresh markers: identity carried over
};

// Every pattern's most confident detection of one frame and its pose.
struct SoakPosed {
    int detection[kSoakPictures];  // index into the list, or -1
    double before[kSoakPictures][3][4];
    double error[kSoakPictures];
};

// One frame's outcome.
struct SoakOutcome {
    int result;                  // markDetect's
    const DetectedMarker* list;  // as markDetect left it
    int32_t count;
    SoakPosed posed;
};

// ---- Set-up (setup.cpp, pool.cpp) ------------------------------------------------------------

// Reads the command line. Returns 0, 1 after --help, or -1 on bad usage (message printed).
int soakParse(int argc, char** argv, SoakOptions* options);

// The camera file, resized to the frame size and installed, then the patterns in the
// configured order. Returns 0, or -1 after a message.
int soakSetUp(const SoakOptions& options, SoakSetup* setup);

// Renders the whole pool. Returns 0, or -1 after a message.
int soakBuildPool(const CameraParam& cam, const SynthImage pictures[kSoakPictures], long frames,
                  support::Random& rng, SoakPool* pool);

// ---- Checks (checks.cpp) ---------------------------------------------------------------------

// Notes what the checks of the coming frame compare against (the detector's history).
// Called right before the frame's detection.
void soakBeforeFrame(SoakFrameState* state);

// Every check of one frame (`frame` as detected with `threshold`, from pool frame
// `index`, shaken by `shift`; `untouched` is where the list pointed before the call;
// n counts frames from 1).
void soakCheckFrame(const SoakOutcome& out, const DetectedMarker* untouched, const uint8_t* frame,
                    int threshold, const SoakPool& pool, int index, const int shift[2],
                    const SoakSetup& setup, long n, SoakFrameState* state, SoakStats* stats);

// Resident size in KiB from /proc/self/status, or -1.
long soakRssKiB();

// The measure the memory check compares: resident size, or under AddressSanitizer the
// live heap (its quarantine holds freed blocks resident by design), in KiB.
long soakMemoryKiB();
