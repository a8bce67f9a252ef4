// Test support: the helpers that tests, benchmarks and fuzz replays share, so that each
// exists once. Link `tarlim_testsupport`; the window helpers are in
// `tarlim_testsupport_gl` (the only part that needs OpenGL and GLUT).
//
// Contents, by banner: files and commands; a seeded random generator; 24-bit bitmap
// files; pose against the truth; an OpenGL window for tests that draw; the real viewer
// run as a process, and pictures of the screen read back through the X window dump
// reader of tools/xwd.h.
//
// Everything here may print and may abort: it serves tests, not the system.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "detect/detect.h"
#include "synth/synth.h"
#include "tools/xwd.h"

namespace support {

namespace fs = std::filesystem;

// ---- Files and commands ------------------------------------------------------------------

// The whole file as bytes; empty when it cannot be read.
std::string slurp(const fs::path& path);

// Writes `bytes` to `path`, creating its parent directories.
void spit(const fs::path& path, const std::string& bytes);

// Runs `command` through the shell; returns std::system's raw status (0 on success).
int sh(const std::string& command);

// What a command did: its exit status (-1 when it ended by a signal) and everything
// it wrote to standard output and standard error.
struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `command` through the shell with both outputs captured (through scratch files
// in the temporary directory, removed afterwards).
CommandRun run(const std::string& command);

// ---- Random numbers ----------------------------------------------------------------------

// splitmix64: the same stream on every machine and library, unlike the standard
// distributions. Seed with any value (`Random r{seed}`).
struct Random {
    uint64_t state;
    // The next 64 random bits.
    uint64_t next();
    // Uniform in [lo, hi), 53 bits of resolution.
    double uniform(double lo, double hi);
    // Uniform integer in [lo, hi] (hi >= lo).
    int range(int lo, int hi);
    // Standard normal (Box-Muller).
    double gauss();
};

// ---- Bitmap files ------------------------------------------------------------------------

// The bytes of a 24-bit bitmap file of `width` x `height` pixels: the 54-byte header
// ("BM", file size, pixel offset 54, 40-byte info header, sizes, 1 plane, 24 bits), then
// the rows bottom first, blue-green-red, each padded to 4 bytes. `rgb` holds
// width * height pixels as 0xRRGGBB, top row first (it may be empty when both sides are
// 0: a header alone).
std::string bitmapBytes(int width, int height, const std::vector<uint32_t>& rgb);

// The same with the header's width and height fields written as given (a header that
// disagrees with its pixels), little-endian, or big-endian when `bigEndianSizes`.
std::string bitmapBytes(int width, int height, const std::vector<uint32_t>& rgb, int32_t widthField,
                        int32_t heightField, bool bigEndianSizes = false);

// A w x w bitmap of one colour (0xRRGGBB), its size fields big-endian when
// `bigEndianSizes` (a file from a machine of the other byte order).
std::string bitmapFilled(int w, uint32_t rgb, bool bigEndianSizes = false);

// ---- Pose against the truth ---------------------------------------------------------------

// Largest distance, in pixels, between the corners of a marker of side `side`
// projected by P through pose T and the given image corners (marker corner order:
// (-s/2, +s/2), (+s/2, +s/2), (+s/2, -s/2), (-s/2, -s/2)).
double reprojectionPx(const double P[3][4], const double T[3][4], const double corners[4][2],
                      double side);

// The registration fit on corners converted back to observed coordinates, the
// alternative that fitting the ideal corners (poseGetTransform) is measured against: the
// same attempts as poseGetTransform, with camCurrentParam. Returns the fitting error,
// or -1.
double fitObservedCorners(const DetectedMarker& m, double side, double T[3][4]);

// ---- OpenGL window (tarlim_testsupport_gl) ---------------------------------------------

// Initialises GLUT once per process, with `name` as the program name.
void glInitOnce(const char* name);

// Initialises GLUT once and opens a width x height window named `name`, RGBA, double
// buffered, with depth; its context is current afterwards.
void glOpenWindow(const char* name, int width, int height);

// A size x size viewport showing [-1, 1]^2 orthographically (depth -10 to 10), identity
// model-view, depth test and lighting off, textures applied unlit (the viewer's decal
// mode): a face drawn there shows its colour or texels as they are.
void glUnlitOrthoView(int size);

// ---- The viewer as a process -------------------------------------------------------------

// The identity unprivileged cases run as when the tests run as root (as in CI),
// where permission bits do not stop reading.
constexpr uid_t kNobodyUid = 65534;
constexpr gid_t kNobodyGid = 65534;

// In a forked child: when running as root, becomes nobody so that a file with mode 000
// cannot be read. The X server's cookie file (XAUTHORITY) is private to root, so a
// copy owned by nobody is made in `scratchDir` first and named instead, to keep the
// display usable. Returns false when the switch failed (the child must then not go on).
bool dropPrivileges(const fs::path& scratchDir);

// The viewer binary of this build.
std::string viewerBinary();

// The viewer running in `dir` (its data/tarlim.conf), with stdout.txt and stderr.txt
// written there. Killed on destruction if still running.
class Viewer {
public:
    // unprivileged: run as nobody when the test runs as root (dir must then be
    // reachable by nobody). args: the command-line arguments after the program name.
    explicit Viewer(const fs::path& dir, bool unprivileged = false,
                    const std::vector<std::string>& args = {});
    ~Viewer();
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Exit status, or kRunning if still running after `seconds`, or kSignalled.
    int wait(double seconds);
    std::string out() const { return slurp(dir_ / "stdout.txt"); }
    std::string err() const { return slurp(dir_ / "stderr.txt"); }

    static constexpr int kRunning = -1000;
    static constexpr int kSignalled = -1001;

private:
    fs::path dir_;
    pid_t pid_ = -1;
    int status_ = kRunning;
};

// The top-left width x height of the screen as the X server holds it (without a window
// manager the viewer's window sits at (0, 0), so that is the window), dumped with xwd
// into `dir`/shot.xwd. Returns 0, or -1 with a reason in *error (when not null) when
// the dump or its reading fails or the screen is smaller; *shot is then not to be used.
int screenshot(const fs::path& dir, int width, int height, SynthImage* shot,
               std::string* error = nullptr);

// Moves the pointer to (x, y) on the screen and types `keys` (xdotool key names,
// separated by spaces). Returns the shell status, 0 on success.
int typeKeys(int x, int y, const std::string& keys);

}  // namespace support
