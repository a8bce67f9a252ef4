// Running the real tarlim binary from a test: its files, the process with its
// standard output and error captured in its working directory, and an unprivileged
// identity for cases that need permission bits to matter. Shared by the end-to-end
// test binaries.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace viewer {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void spit(const fs::path& path, const std::string& text)
{
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline int sh(const std::string& command)
{
    return std::system(command.c_str());
}

// The identity unprivileged cases run as when the tests run as root (as in CI),
// where permission bits do not stop reading.
constexpr uid_t kNobodyUid = 65534;
constexpr gid_t kNobodyGid = 65534;

// In a forked child: when running as root, becomes nobody so that a file with mode 000
// cannot be read. The X server's cookie file (XAUTHORITY) is private to root, so a
// copy owned by nobody is made first and named instead, to keep the display usable.
// Returns false when the switch failed (the child must then not go on).
inline bool dropPrivileges(const fs::path& scratchDir)
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

// The viewer binary of this build.
inline std::string binary()
{
    return std::string(TARLIM_BINARY_DIR) + "/app/tarlim";
}

// The viewer running in `dir` (its data/tarlim.conf), with stdout.txt and stderr.txt
// written there. Killed on destruction if still running.
class Viewer {
public:
    // unprivileged: run as nobody when the test runs as root (dir must then be
    // reachable by nobody).
    explicit Viewer(const fs::path& dir, bool unprivileged = false) : dir_(dir)
    {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir.c_str()) != 0) _exit(120);
            const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0) _exit(121);
            dup2(out, 1);
            dup2(err, 2);
            // In the sanitizer build: the viewer leaves everything it loaded (and the
            // GL, GLUT and GStreamer libraries their state) to the process exit, by
            // design, so leak reports at exit would only change the exit status.
            const char* asan = std::getenv("ASAN_OPTIONS");
            const std::string options =
                std::string(asan ? asan : "") + (asan ? ":" : "") + "detect_leaks=0";
            setenv("ASAN_OPTIONS", options.c_str(), 1);
            if (unprivileged && !dropPrivileges(dir)) _exit(123);
            const std::string path = binary();
            execl(path.c_str(), "tarlim", static_cast<char*>(nullptr));
            _exit(122);
        }
    }
    ~Viewer()
    {
        if (pid_ > 0 && status_ == kRunning) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Exit status, or kRunning if still running after `seconds`, or kSignalled.
    int wait(double seconds)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(int(seconds * 1000));
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
    std::string out() const { return slurp(dir_ / "stdout.txt"); }
    std::string err() const { return slurp(dir_ / "stderr.txt"); }

    static constexpr int kRunning = -1000;
    static constexpr int kSignalled = -1001;

private:
    fs::path dir_;
    pid_t pid_ = -1;
    int status_ = kRunning;
};

}  // namespace viewer
