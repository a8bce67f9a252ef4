// Replay driver for the fuzz targets in builds without libFuzzer: feeds every file of
// a seed corpus directory to LLVMFuzzerTestOneInput, then a fixed number of
// deterministic mutations of each, so reproducers stay fixed and every build shakes
// the parsers a little. Usage: fuzz_<input> CORPUS_DIR [MUTATIONS_PER_FILE]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Runs one input from an allocation of exactly its size, so that a read one past the
// end is a heap overflow the sanitizer build reports.
void replayRun(const std::vector<uint8_t>& bytes)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    LLVMFuzzerTestOneInput(exact.get(), bytes.size());
}

// One to four edits of the kinds that break parsers: bit flips, boundary bytes and
// words, inserted, deleted and repeated spans, truncation.
void replayMutate(std::vector<uint8_t>* bytes, support::Random* random)
{
    static const uint8_t kBytes[] = {0,   1,    0x7f, 0x80, 0xff, '0', '9', '-', '.',
                                     ' ', '\n', '\r', '#',  '"',  '(', ')', '}', ':'};
    static const uint32_t kWords[] = {0,          1,          3,    4,    0x7fffffff,
                                      0x80000000, 0xffffffff, 4096, 8192, 65536};
    std::vector<uint8_t>& b = *bytes;
    const int edits = 1 + static_cast<int>(random->next() % 4);
    for (int e = 0; e < edits; e++) {
        const uint64_t r = random->next();
        const size_t at = b.empty() ? 0 : static_cast<size_t>(r >> 8) % b.size();
        switch (r % 7) {
            case 0:
                if (!b.empty()) b[at] ^= static_cast<uint8_t>(1u << ((r >> 40) % 8));
                break;
            case 1:
                if (!b.empty()) b[at] = kBytes[(r >> 40) % sizeof kBytes];
                break;
            case 2:
                if (b.size() >= 4) {
                    const uint32_t w = kWords[(r >> 40) % (sizeof kWords / sizeof kWords[0])];
                    const size_t p = std::min(at, b.size() - 4);
                    for (int i = 0; i < 4; i++) b[p + i] = static_cast<uint8_t>(w >> (8 * i));
                }
                break;
            case 3:
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(at),
                         static_cast<uint8_t>(r >> 48));
                break;
            case 4:
                if (!b.empty()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            case 5:
                if (!b.empty()) {
                    const size_t from = static_cast<size_t>(r >> 24) % b.size();
                    const size_t length = std::min<size_t>(1 + (r >> 48) % 64, b.size() - from);
                    std::vector<uint8_t> span(b.begin() + static_cast<std::ptrdiff_t>(from),
                                              b.begin() +
                                                  static_cast<std::ptrdiff_t>(from + length));
                    b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), span.begin(), span.end());
                }
                break;
            default:
                b.resize(at);
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS_PER_FILE]\n", argv[0]);
        return 2;
    }
    const long mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    // A missing or empty corpus would make the test pass without running anything.
    if (files.empty()) {
        std::fprintf(stderr, "%s: no seed files\n", argv[1]);
        return 1;
    }
    std::sort(files.begin(), files.end());
    support::Random random{1};
    long runs = 0;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> seed{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
        replayRun(seed);
        runs++;
        for (long m = 0; m < mutations; m++) {
            std::vector<uint8_t> mutant = seed;
            replayMutate(&mutant, &random);
            replayRun(mutant);
            runs++;
        }
    }
    std::printf("%ld inputs from %zu seeds\n", runs, files.size());
    return 0;
}
