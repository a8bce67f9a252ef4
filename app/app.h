// app: the viewer itself. It reads the configuration file "data/tarlim.conf" from the
// working directory, loads everything it names (video source, camera file, one
// pattern per marker, one animated model sequence per marker), opens the window and
// then, for every captured frame, draws the undistorted video, finds the configured
// markers, estimates their poses and draws the current model of each visible marker.
//
// Use: the program's main calls appMain(argc, argv) and nothing else. The other
// functions are the stages of start-up and the toolkit callbacks; they are public so
// that tests can run the configuration reader on its own.
//
// Console: each start-up stage prints its announcement ("Reading config file...")
// on standard output without a line end and flushes, then "done\n". A start-up
// failure prints its message on standard error (so it lands right after the
// announcement) and ends the process with status 1. Escape ends it with status 0.
//
// Result codes here follow the configuration reader's own convention: 1 success,
// 0 failure.
#pragma once

#include <cstdio>
#include <string>

#include "camera/camera.h"
#include "detect/detect.h"
#include "model/model.h"

// The most markers one configuration can name; larger counts are clamped to it.
constexpr int kAppMaxMarkers = 8;
// Size of every text field (video string, paths), terminating NUL included. Lines
// are read in pieces of kCfgLineSize - 1 characters, so a piece always fits.
constexpr int kCfgLineSize = 512;
// Where the program looks for its configuration, relative to the working directory.
constexpr const char* kCfgPath = "data/tarlim.conf";

// One configured marker: what the file says about it and what each frame finds.
struct MarkerSlot {
    char patternFile[kCfgLineSize];  // pattern file path, the line exactly as read
    double center[2];                // marker centre offset given to pose estimation,
                                     // always (0, 0): the file does not carry it
    double width;                    // side of the black square, in the length unit
                                     // of the transformations and of its models
    int patternId;                   // slot that patternLoad returned (0..49) at start-up
    int visible;                     // 1 when a detection was assigned this frame, else 0
    double transform[3][4];          // marker-to-camera [R | t] of the last frame in which
                                     // the marker was visible, row-major, unit of `width`
};

// The whole configuration and the per-marker runtime state. One static instance,
// appConfig, lives for the process; every byte is zero before cfgRead fills it.
// Only the first markerCount entries of markers and sequences are in use (none when
// markerCount is 0 or less). sequences[k] is the animation drawn on markers[k].
struct AppConfig {
    char videoConfig[kCfgLineSize];      // significant line 1, handed to videoOpen as is
    char cameraParamFile[kCfgLineSize];  // significant line 2
    CameraParam camera;                  // camera file rescaled to the capture size
                                         // (start-up fills it; zero before)
    int threshold;                       // significant line 3: binarisation threshold
    int markerCount;                     // significant line 4, clamped to at most 8
    MarkerSlot markers[kAppMaxMarkers];
    ModelSequence sequences[kAppMaxMarkers];  // model/model.h; entry k animates markers[k]
    int videoWidth;                           // capture size reported by videoInqSize, pixels
    int videoHeight;
};

// The prefix line is copied whole into ModelSequence::pathPrefix (model/model.h).
static_assert(sizeof(ModelSequence::pathPrefix) == kCfgLineSize, "a prefix line fits whole");

extern AppConfig appConfig;

// ---- Configuration file -------------------------------------------------------------
//
// Significant lines: every line loses all trailing '\n' and '\r' characters; lines
// that are then empty, and lines whose first column is '#', are skipped. Nothing else
// is trimmed. Lines are read in pieces of at most 511 characters. In order: video
// string, camera file, threshold ("%d"), marker count ("%d"), then per marker five
// lines: pattern file, width ("%lf"), model count ("%d"), model scale ("%lf"), model
// path prefix. A numeric line must scan exactly one value from its start (leading
// blanks skipped, trailing text ignored). An integer beyond the int range is taken as
// INT_MAX or INT_MIN (so a huge marker count is clamped to 8).

// Clears appConfig and reads kCfgPath into it. Returns 1, or 0 when the file cannot
// be opened, a line is missing or a numeric line yields no value; after a failure
// appConfig holds whatever had been read and must not be used. The file is closed on
// every path. Reads nothing after the last marker block (no option lines).
int cfgRead();

// What a read found wrong, as whole lines for standard error (no line end): the
// failure, "PATH:LINE: reason" or "PATH: reason" (lines counted from 1 as an editor
// shows them, comments and empty lines included), and the warnings about values that
// read but cannot work, "PATH:LINE: warning: ...", in file order.
constexpr int kCfgMessageSize = 1024;
constexpr int kCfgWarningMax = 32;
struct CfgReport {
    char error[kCfgMessageSize];  // "" after a successful read
    int warningCount;             // entries of warnings in use
    int warningsDropped;          // warnings beyond kCfgWarningMax, not kept
    char warnings[kCfgWarningMax][kCfgMessageSize];
};

// cfgRead for the file at `path` (relative paths from the working directory), plus:
// a UTF-8 byte-order mark at the start is skipped; option lines "NAME VALUE" after the
// last marker block (after the marker count when it is 0 or less; the blocks of
// markers beyond the eighth are skipped) go through appOptionSet into appOptions,
// which is reset first; and, when `report` is not null, the failure and the warnings
// (threshold outside 0..255, a width that is not a positive finite number, a model
// count of 0 or less, a marker count above 8, a path line that starts with blanks and
// "#", an unknown option or a bad option value) are written to *report.
// Same result codes as cfgRead.
int cfgReadFile(const char* path, CfgReport* report);

// Reads the next significant line of `fp` into `buffer` (kCfgLineSize bytes, line
// ends removed). Returns buffer, or nullptr at end of file or on a read error.
char* cfgReadLine(char buffer[kCfgLineSize], FILE* fp);

// Reads a marker's pattern file line and width line into *slot. Returns 1 when both
// lines were there and the width scanned one value, else 0.
int cfgReadMarker(MarkerSlot* slot, FILE* fp);

// Reads a marker's model count, scale and path prefix lines into *sequence. Returns
// 1 when all three lines were there and both numbers scanned, else 0.
int cfgReadSequence(ModelSequence* sequence, FILE* fp);

// ---- Option lines ----------------------------------------------------------------------

// Detection option lines kept per configuration; more are refused with a warning.
constexpr int kAppMaxDetectionLines = 32;

// Settings beyond the five-line marker blocks, from option lines of the configuration
// and from the command line (which wins). All zero: the viewer as without options.
struct AppOptions {
    int overlay;                    // 1: the diagnostic overlay (F2) is on from the start
    char posesPath[kCfgLineSize];   // "" none, "-" standard output (command line only)
    char recordPath[kCfgLineSize];  // "" none; a directory, or a .webm or .mkv file
    int robust;                     // 1: detection starts from the robust preset (F7)
    // Detection option lines in file order, applied over the preset: which option of
    // the table (appOptionSet's) and its value (on/off as 1/0).
    int detectionCount;
    struct {
        int option;
        double value;
    } detection[kAppMaxDetectionLines];
};
extern AppOptions appOptions;

// Sets option `name` from `value` (the rest of the line after the blanks that follow
// the name). Returns 0, or -1 with a one-line reason in `reason` (unknown name, bad
// value; *options unchanged).
int appOptionSet(AppOptions* options, const char* name, const char* value, char* reason,
                 size_t reasonSize);

// The option lines, one per line with its values and meaning, for --help.
void appPrintOptions(FILE* out);

// The options of the detector behind markDetect that *options ask for: the robust
// preset (robust non-zero) or the defaults, its candidate count kept at
// kMarkCandidateMax (that detector's storage is fixed), then the detection lines in
// order. Returns 1 when that differs from the defaults, 0 when the defaults stand.
int appDetectionOptions(const AppOptions* options, int robust, MarkOptions* out);

// ---- Command line ---------------------------------------------------------------------

constexpr const char* kAppVersion = "0.2.0";

// tarlim [CONFIG] [--poses FILE|-] [--record PATH] [--help] [--version]; GLUT's own
// options (-display NAME, -geometry WxH+X+Y, -direct, -indirect, -iconic, -gldebug,
// -sync) are passed over here and left to glutInit.
struct AppArgs {
    const char* configPath;  // CONFIG, kCfgPath when not given
    const char* posesPath;   // --poses, null when not given
    const char* recordPath;  // --record, null when not given
};

// Parses argv. Returns 0 to run; 1 when --help or --version has been printed on
// standard output (exit 0); 2 after a usage error, with the reason and the usage
// printed on standard error (exit 2).
int appParseArgs(int argc, char** argv, AppArgs* args);

// ---- Start-up, frame loop and shutdown -----------------------------------------------

// The program's entry point: hands argc/argv to GLUT, runs appInit, starts capture
// and enters the toolkit's main loop, which does not return (the process ends through
// exit). Returns 0 only if that loop ever returned.
int appMain(int argc, char** argv);

// Start-up: configuration, video source and capture size, camera parameters, one
// pattern per marker, window, model sequences, each announced on the console. Any
// failure prints its message on standard error and exits with status 1.
void appInit();

// Loads the model sequences of the configured markers: forwards to
// modelLoadAllSequences(appConfig.sequences, appConfig.markerCount) (model/model.h),
// which does nothing for a marker count of 0 or less. This short form lives here,
// where the configuration is known, so that model/ needs nothing from the application.
// Needs a current GL context, as the long form does.
inline void modelLoadAllSequences()
{
    modelLoadAllSequences(appConfig.sequences, appConfig.markerCount);
}

// Keyboard callback: Escape (27) runs appCleanup and exits with status 0; every other
// key is ignored. x and y (pointer position) are not used.
void appKeyEvent(unsigned char key, int x, int y);

// Deletes the loadedCount display lists of every sequence from its listBase (none
// when loadedCount is 0 or less), stops capture, closes the video source and
// releases the display. The caller exits right after.
void appCleanup();

// Ends the process like Escape, with status 128 + the signal, once SIGINT or SIGTERM
// has arrived while poses or a recording are written (their files are finished
// first); nothing otherwise. Called by appFrame.
void appCheckStop();

// Display and idle callback: one new frame, detection, pose, drawing. Without a new
// frame it sleeps 2 ms and draws nothing. A detection failure prints
// "failed to detect marker\n" on standard error, cleans up and exits with status 0.
void appFrame();

// Step 7 of appFrame, public for tests: assignment[k] (k < markerCount) becomes the
// index in list[0..count-1] of the detection whose patternId equals marker k's with
// the highest confidence (the first of equals), or -1 when none carries that id.
// Entries from markerCount on are not written.
void appAssignDetections(const DetectedMarker* list, int count, int assignment[kAppMaxMarkers]);

// Draws the current model of every visible marker with the camera projection and one
// light fixed in the marker's frame, and advances each visible marker's animation by
// one model.
void appDrawMarkers();

// ---- Output for other programs --------------------------------------------------------

// Poses go to the process's standard output; from here on everything else printed
// on standard output goes to standard error. Returns 0, or -1 (nothing changed).
int appPosesToStandardOutput();

// Poses go to the file at `path`, created or emptied. Returns 0, or -1 (errno says why).
int appPosesOpen(const char* path);

// One line for a processed frame: {"frame": N, "time_ms": T, "markers": [{"slot": k,
// "pattern_file": "...", "confidence": c, "transform": [12 numbers, row-major [R|t] in
// the unit of the marker width]}, ...]} with every visible configured marker, flushed.
// assignment[k] indexes `list` for every visible marker k. Does nothing when no
// output was opened. Non-finite numbers are written as null.
void appPosesWrite(long long frame, double timeMs, const DetectedMarker* list,
                   const int assignment[kAppMaxMarkers]);

// Closes the poses output (nothing when none is open).
void appPosesClose();

// ---- Overlays, keys and recording ------------------------------------------------------

// Function keys (GLUT's special-key callback): F1 shows or hides the list of keys, F2
// the diagnostic overlay, F3 saves the window as tarlim-NNNN.png (the first free
// number) in the working directory and prints "screenshot: PATH" (all three from the
// next drawn frame on), F5 / F6 lower / raise the threshold by 5 within 0..255 and print
// "threshold N", F7 switches the robust detection preset (with the detection option
// lines over it) and prints "robust on" or "robust off". Other keys are ignored. x and y (pointer position) are not used.
void appSpecialKey(int key, int x, int y);

// Whether the diagnostic overlay (F2; starts as the overlay option says) and the list
// of keys (F1) are drawn.
extern int appShowDiagnostics;
extern int appShowHelp;
// 1 when F3 asked for a screenshot of the next drawn frame.
extern int appScreenshotWanted;

// How the viewer is doing, shown by the diagnostic overlay.
struct AppFrameStats {
    double framesPerSecond;  // processed frames per second over about the last second
    double detectionMs;      // markDetect's time per frame, averaged over the same span
};

// Draws over the finished frame (before the swap): with showDiagnostics the axes of
// every visible marker, every detected square's outline from its corners (green when
// recognised, with its pattern file name and confidence; grey otherwise) with corner 0
// marked by a yellow square, and speed and threshold in the top-left corner; with
// showHelp the list of keys. GL state is left as it was found.
void appDrawOverlays(int showDiagnostics, int showHelp, const DetectedMarker* list, int count,
                     const AppFrameStats& stats);

// Starts saving every drawn frame of a width x height window: into numbered PNG files
// PATH/000000.png, 000001.png, ... (the directory is made if missing), or, for a path
// ending in .webm or .mkv, into a video (video/video.h). Returns 0, or -1 after
// printing the reason on standard error.
int appRecordStart(const char* path, int width, int height);

// Saves the frame in the back buffer (call before the swap); timeMs is its time from
// the first frame. A write that fails stops the recording with a message; the frames
// saved so far stay.
void appRecordFrame(double timeMs);

// Finishes the recording (a video file is completed). Nothing when none runs.
void appRecordStop();

// Saves the finished frame in the back buffer (call before the swap) as
// tarlim-NNNN.png in the working directory, the first number not taken, and writes its
// full path to *path. Returns 0, or -1.
int appSaveScreenshot(std::string* path);
