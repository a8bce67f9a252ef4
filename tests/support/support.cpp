// Files, commands, random numbers, bitmaps and the viewer process for tests.
#include "tests/support/support.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace support {

// ---- Files and commands ------------------------------------------------------------------

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& path, const std::string& bytes)
{
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

int sh(const std::string& command)
{
    return std::system(command.c_str());
}

CommandRun run(const std::string& command)
{
    static int serial = 0;
    const fs::path base = fs::temp_directory_path() / ("tarlim_run_" + std::to_string(getpid()) +
                                                       "_" + std::to_string(serial++));
    const std::string out = base.string() + ".out", err = base.string() + ".err";
    const int raw = sh(command + " >'" + out + "' 2>'" + err + "'");
    CommandRun r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

// ---- Random numbers ----------------------------------------------------------------------

uint64_t Random::next()
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Random::uniform(double lo, double hi)
{
    return lo + (hi - lo) * static_cast<double>(next() >> 11) * 0x1.0p-53;
}

int Random::range(int lo, int hi)
{
    return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
}

double Random::gauss()
{
    // 1 - u keeps the logarithm finite.
    const double u = 1.0 - uniform(0.0, 1.0), v = uniform(0.0, 1.0);
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

// ---- Bitmap files ------------------------------------------------------------------------

namespace {

void put32(std::string* b, int at, uint32_t v, bool bigEndian)
{
    for (int i = 0; i < 4; ++i) {
        const int shift = bigEndian ? 8 * (3 - i) : 8 * i;
        (*b)[static_cast<size_t>(at + i)] = static_cast<char>((v >> shift) & 0xff);
    }
}

}  // namespace

std::string bitmapBytes(int width, int height, const std::vector<uint32_t>& rgb, int32_t widthField,
                        int32_t heightField, bool bigEndianSizes)
{
    const int stride = (width * 3 + 3) & ~3;
    std::string b(54, '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(&b, 2, 54 + static_cast<uint32_t>(stride * height), false);
    put32(&b, 10, 54, false);
    put32(&b, 14, 40, false);
    put32(&b, 18, static_cast<uint32_t>(widthField), bigEndianSizes);
    put32(&b, 22, static_cast<uint32_t>(heightField), bigEndianSizes);
    b[26] = 1;
    b[28] = 24;
    for (int row = height - 1; row >= 0; --row) {
        std::string line(static_cast<size_t>(stride), '\0');
        for (int col = 0; col < width; ++col) {
            const uint32_t c = rgb[static_cast<size_t>(row) * width + col];
            line[col * 3 + 0] = static_cast<char>(c & 0xff);
            line[col * 3 + 1] = static_cast<char>((c >> 8) & 0xff);
            line[col * 3 + 2] = static_cast<char>((c >> 16) & 0xff);
        }
        b += line;
    }
    return b;
}

std::string bitmapBytes(int width, int height, const std::vector<uint32_t>& rgb)
{
    return bitmapBytes(width, height, rgb, width, height);
}

std::string bitmapFilled(int w, uint32_t rgb, bool bigEndianSizes)
{
    return bitmapBytes(w, w, std::vector<uint32_t>(static_cast<size_t>(w) * w, rgb), w, w,
                       bigEndianSizes);
}

// ---- The viewer as a process -------------------------------------------------------------

bool dropPrivileges(const fs::path& scratchDir)
{
    if (geteuid() != 0) return true;
    if (const char* auth = std::getenv("XAUTHORITY")) {
        const fs::path copy = scratchDir / ".Xauthority-nobody";
        std::error_code ignored;
        fs::copy_file(auth, copy, fs::copy_options::overwrite_existing, ignored);
        if (chown(copy.c_str(), kNobodyUid, kNobodyGid) != 0) return false;
        setenv("XAUTHORITY", copy.c_str(), 1);
    }
    if (setgroups(0, nullptr) != 0) return false;
    if (setresgid(kNobodyGid, kNobodyGid, kNobodyGid) != 0) return false;
    if (setresuid(kNobodyUid, kNobodyUid, kNobodyUid) != 0) return false;
    return geteuid() == kNobodyUid;
}

std::string viewerBinary()
{
    return std::string(TARLIM_BINARY_DIR) + "/app/tarlim";
}

Viewer::Viewer(const fs::path& dir, bool unprivileged, const std::vector<std::string>& args)
    : dir_(dir)
{
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(dir.c_str()) != 0) _exit(120);
        const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) _exit(121);
        dup2(out, 1);
        dup2(err, 2);
        // In the sanitizer build: the viewer leaves everything it loaded (and the GL,
        // GLUT and GStreamer libraries their state) to the process exit, by design, so
        // leak reports at exit would only change the exit status.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options =
            std::string(asan ? asan : "") + (asan ? ":" : "") + "detect_leaks=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        // The binary is opened before the switch: nobody could not reach it when the
        // build lies in a folder private to root (a checkout in /root, a private
        // temporary clone); it only has to execute it.
        const int binary = open(viewerBinary().c_str(), O_PATH | O_CLOEXEC);
        if (binary < 0) _exit(122);
        if (unprivileged && !dropPrivileges(dir)) _exit(123);
        std::vector<char*> argv = {const_cast<char*>("tarlim")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        fexecve(binary, argv.data(), environ);
        _exit(122);
    }
}

Viewer::~Viewer()
{
    if (pid_ > 0 && status_ == kRunning) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int Viewer::wait(double seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (status_ == kRunning) {
        int raw = 0;
        const pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : kSignalled;
            break;
        }
        if (Clock::now() > end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

int screenshot(const fs::path& dir, int width, int height, SynthImage* shot, std::string* error)
{
    std::string reason;
    const fs::path file = dir / "shot.xwd";
    SynthImage screen;
    if (sh("xwd -root -silent -out " + file.string()) != 0) {
        reason = "xwd failed";
    } else if (xwdRead(file.string(), &screen, &reason) == 0) {
        *shot = xwdCrop(screen, 0, 0, width, height);
        if (shot->width == width && shot->height == height) return 0;
        reason = "the screen is smaller than the window";
    }
    if (error != nullptr) *error = reason;
    return -1;
}

int typeKeys(int x, int y, const std::string& keys)
{
    return sh("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " key " + keys);
}

}  // namespace support
