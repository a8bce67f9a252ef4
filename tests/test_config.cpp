// The configuration reader, run on files written into a temporary working directory.
#include "app/app.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Runs each case in its own empty directory holding data/tarlim.conf, because the
// reader opens that fixed path relative to the working directory.
class Config : public ::testing::Test {
protected:
    void SetUp() override
    {
        old_ = fs::current_path();
        char pattern[] = "/tmp/tarlim-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        fs::create_directories(dir_ / "data");
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    // Writes the file byte for byte (no newline translation).
    void write(const std::string& text)
    {
        std::ofstream out("data/tarlim.conf", std::ios::binary);
        out << text;
    }
    static std::string lf(const std::vector<std::string>& lines, const char* end = "\n")
    {
        std::string text;
        for (const auto& l : lines) text += l + end;
        return text;
    }
    // Header lines plus `blocks` complete marker blocks numbered from 0.
    static std::vector<std::string> withMarkers(const std::string& count, int blocks)
    {
        std::vector<std::string> lines = {"v4l2src ! videoconvert", "data/camera.cam", "100",
                                          count};
        for (int k = 0; k < blocks; k++) {
            lines.push_back("data/p" + std::to_string(k) + ".pat");
            lines.push_back(std::to_string(80 + k));
            lines.push_back(std::to_string(k + 1));
            lines.push_back("1.5");
            lines.push_back("data/models/m" + std::to_string(k) + "_");
        }
        return lines;
    }
    fs::path old_, dir_;
};

// Snapshot of the fields a file sets, for comparing two reads.
std::string dump()
{
    const AppConfig& c = appConfig;
    std::string s = std::string(c.videoConfig) + "|" + c.cameraParamFile + "|" +
                    std::to_string(c.threshold) + "|" + std::to_string(c.markerCount);
    for (int k = 0; k < kAppMaxMarkers; k++) {
        s += "|" + std::string(c.markers[k].patternFile) + "," +
             std::to_string(c.markers[k].width) + "," + std::to_string(c.sequences[k].frameCount) +
             "," + std::to_string(c.sequences[k].scale) + "," + c.sequences[k].pathPrefix;
    }
    return s;
}

TEST_F(Config, ReadsEveryFieldOfACompleteFile)
{
    write(lf(withMarkers("2", 2)));
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_STREQ(appConfig.videoConfig, "v4l2src ! videoconvert");
    EXPECT_STREQ(appConfig.cameraParamFile, "data/camera.cam");
    EXPECT_EQ(appConfig.threshold, 100);
    ASSERT_EQ(appConfig.markerCount, 2);
    for (int k = 0; k < 2; k++) {
        SCOPED_TRACE("marker " + std::to_string(k));
        EXPECT_EQ(std::string(appConfig.markers[k].patternFile),
                  "data/p" + std::to_string(k) + ".pat");
        EXPECT_EQ(appConfig.markers[k].width, 80.0 + k);
        EXPECT_EQ(appConfig.markers[k].center[0], 0.0);
        EXPECT_EQ(appConfig.markers[k].center[1], 0.0);
        EXPECT_EQ(appConfig.markers[k].patternId, 0);
        EXPECT_EQ(appConfig.markers[k].visible, 0);
        EXPECT_EQ(appConfig.sequences[k].frameCount, k + 1);
        EXPECT_EQ(appConfig.sequences[k].scale, 1.5);
        EXPECT_EQ(std::string(appConfig.sequences[k].pathPrefix),
                  "data/models/m" + std::to_string(k) + "_");
    }
    EXPECT_EQ(appConfig.videoWidth, 0);
    EXPECT_EQ(appConfig.camera.width, 0);
}

TEST_F(Config, LineEndsAreStrippedInAnyMix)
{
    const auto lines = withMarkers("2", 2);
    write(lf(lines));
    ASSERT_EQ(cfgRead(), 1);
    const std::string expected = dump();
    for (const char* end : {"\r\n", "\r\r\n", "\n\r\n", "\r"}) {
        SCOPED_TRACE(std::string("line end bytes: ") + std::to_string(std::string(end).size()));
        // "\r" alone ends no line for fgets: a file of bare CRs is one long line.
        write(lf(lines, end));
        if (std::string(end) == "\r") {
            EXPECT_EQ(cfgRead(), 0);
        } else {
            ASSERT_EQ(cfgRead(), 1);
            EXPECT_EQ(dump(), expected);
        }
    }
    // The last line needs no line end at all.
    std::string text = lf(lines);
    text.pop_back();
    write(text);
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(dump(), expected);
}

TEST_F(Config, CommentsOnlyInTheFirstColumnAndBlankLinesSkipped)
{
    write("# a comment\n\n\r\nvideo\n#another\n\n  # not a comment\n7\n0\n");
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_STREQ(appConfig.videoConfig, "video");
    EXPECT_STREQ(appConfig.cameraParamFile, "  # not a comment");
    EXPECT_EQ(appConfig.threshold, 7);
    // As a number the same line does not scan, and the file is rejected.
    write("video\ncam\n  # 100\n0\n");
    EXPECT_EQ(cfgRead(), 0);
    // A line of blanks only is significant: taken whole as a path, rejected as a number.
    write("video\n   \t\n5\n0\n");
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_STREQ(appConfig.cameraParamFile, "   \t");
    write("video\ncam\n   \n0\n");
    EXPECT_EQ(cfgRead(), 0);
}

TEST_F(Config, NumbersScanFromTheLineStartAndIgnoreTrailingText)
{
    write("v\nc\n   42abc\n1 # one marker\n p.pat \n 80.5mm\n3 frames\n-2.5e1\nprefix  \n");
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(appConfig.threshold, 42);
    EXPECT_EQ(appConfig.markerCount, 1);
    EXPECT_STREQ(appConfig.markers[0].patternFile, " p.pat ");  // blanks stay
    EXPECT_EQ(appConfig.markers[0].width, 80.5);
    EXPECT_EQ(appConfig.sequences[0].frameCount, 3);
    EXPECT_EQ(appConfig.sequences[0].scale, -25.0);  // stored as read, not validated
    EXPECT_STREQ(appConfig.sequences[0].pathPrefix, "prefix  ");
    // Each numeric line with its text before the number: the whole file fails.
    const char* bad[] = {
        "v\nc\nx100\n0\n",                     // threshold
        "v\nc\n100\nn\n",                      // marker count
        "v\nc\n100\n1\np\nwide\n1\n1\nm\n",    // width
        "v\nc\n100\n1\np\n80\nthree\n1\nm\n",  // model count
        "v\nc\n100\n1\np\n80\n3\nbig\nm\n",    // scale
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        write(text);
        EXPECT_EQ(cfgRead(), 0);
    }
}

TEST_F(Config, MarkerCountIsClampedAndNonPositiveMeansNone)
{
    auto nine = withMarkers("9", 9);
    write(lf(nine));
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(appConfig.markerCount, 8);
    EXPECT_STREQ(appConfig.markers[7].patternFile, "data/p7.pat");
    // Eight blocks are enough for a count of 9: the ninth is never looked for.
    write(lf(withMarkers("9", 8)));
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(appConfig.markerCount, 8);
    for (const char* count : {"0", "-3"}) {
        SCOPED_TRACE(count);
        write(lf(withMarkers(count, 0)));
        ASSERT_EQ(cfgRead(), 1);
        EXPECT_EQ(appConfig.markerCount, std::atoi(count));
        EXPECT_EQ(appConfig.markers[0].patternFile[0], '\0');
    }
}

TEST_F(Config, MissingLinesFail)
{
    EXPECT_EQ(cfgRead(), 0) << "no file at all";
    write("");
    EXPECT_EQ(cfgRead(), 0) << "empty file";
    auto lines = withMarkers("2", 2);
    // Cut the file after every line in turn: only the full file is complete.
    for (size_t keep = 0; keep < lines.size(); keep++) {
        SCOPED_TRACE("lines kept: " + std::to_string(keep));
        write(lf(std::vector<std::string>(lines.begin(), lines.begin() + keep)));
        EXPECT_EQ(cfgRead(), 0);
    }
    write(lf(lines));
    EXPECT_EQ(cfgRead(), 1);
}

TEST_F(Config, ReadClearsWhatAnEarlierReadLeft)
{
    write(lf(withMarkers("2", 2)));
    ASSERT_EQ(cfgRead(), 1);
    appConfig.markers[1].visible = 1;
    appConfig.videoWidth = 640;
    write(lf(withMarkers("1", 1)));
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(appConfig.markers[1].patternFile[0], '\0');
    EXPECT_EQ(appConfig.markers[1].visible, 0);
    EXPECT_EQ(appConfig.videoWidth, 0);
}

TEST_F(Config, LongLinesAreReadIn511CharacterPieces)
{
    // A 600-character first line: its first 511 characters are the video string, the
    // other 89 become significant line 2, so "100" is the threshold and "0" the count.
    const std::string first(600, 'a');
    write(first + "\n100\n0\n");
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(std::string(appConfig.videoConfig), std::string(511, 'a'));
    EXPECT_EQ(std::string(appConfig.cameraParamFile), std::string(89, 'a'));
    EXPECT_EQ(appConfig.threshold, 100);
    EXPECT_EQ(appConfig.markerCount, 0);
    // The same file meant as video, camera, threshold, count now lacks its count.
    write(first + "\ncam\n100\n0\n");
    EXPECT_EQ(cfgRead(), 0);
}

TEST_F(Config, PieceBoundaryPairs)
{
    // 511 characters then the line end: one piece; the lone "\n" after it is skipped.
    write(std::string(511, 'b') + "\ncam\n1\n0\n");
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(std::string(appConfig.videoConfig), std::string(511, 'b'));
    EXPECT_STREQ(appConfig.cameraParamFile, "cam");
    // 512 characters: the 512th becomes significant line 2 of its own.
    write(std::string(512, 'b') + "\n1\n0\n");
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(std::string(appConfig.videoConfig), std::string(511, 'b'));
    EXPECT_STREQ(appConfig.cameraParamFile, "b");
    EXPECT_EQ(appConfig.threshold, 1);
}

TEST(ConfigReadLine, ReturnsSignificantLinesThenNothing)
{
    FILE* fp = std::tmpfile();
    ASSERT_NE(fp, nullptr);
    std::fputs("#c\n\r\n\n x\r\n#\ny\n", fp);
    std::rewind(fp);
    char buffer[kCfgLineSize];
    ASSERT_EQ(cfgReadLine(buffer, fp), buffer);
    EXPECT_STREQ(buffer, " x");
    ASSERT_EQ(cfgReadLine(buffer, fp), buffer);
    EXPECT_STREQ(buffer, "y");
    EXPECT_EQ(cfgReadLine(buffer, fp), nullptr);
    EXPECT_EQ(cfgReadLine(buffer, fp), nullptr);
    std::fclose(fp);
}

}  // namespace

// ---- Diagnostics and option lines -------------------------------------------------------

namespace {

// Reads data/tarlim.conf with a report; the result and the report's lines.
struct Read {
    int result;
    std::string error;
    std::vector<std::string> warnings;
};

Read readWithReport()
{
    static CfgReport report;  // large: not on the stack
    Read r;
    r.result = cfgReadFile("data/tarlim.conf", &report);
    r.error = report.error;
    for (int i = 0; i < report.warningCount; i++) r.warnings.push_back(report.warnings[i]);
    return r;
}

}  // namespace

// Line numbers are those an editor shows: a line split into pieces counts once, CRLF
// ends count once, comments and empty lines count.
TEST_F(Config, DiagnosticLinesCountPhysicalLines)
{
    write(std::string(600, 'a') + "\r\n# c\r\n\r\n  42\r\nx\r\n");
    Read r = readWithReport();
    // Pieces: video (511 a), camera (89 a), threshold 42 on line 4, count "x" on line 5.
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.error, "data/tarlim.conf:5: marker count: expected a number, got \"x\"");
    // The last line without its line end still counts.
    write("v\nc\n1\n1\np\n80");
    r = readWithReport();
    EXPECT_EQ(r.error,
              "data/tarlim.conf: ends after line 6; marker 1 still needs its model count, scale "
              "and model prefix");
    // A long offending line is quoted in part.
    write("v\nc\n" + std::string(100, 'z') + "\n");
    r = readWithReport();
    EXPECT_EQ(r.error, "data/tarlim.conf:3: threshold: expected a number, got \"" +
                           std::string(60, 'z') + "...\"");
}

// Option lines after the last block set appOptions; the blocks of markers beyond the
// eighth are skipped, not taken as options; without a report nothing after the last
// block is read, as before.
TEST_F(Config, OptionLinesAfterTheLastBlock)
{
    std::vector<std::string> file = withMarkers("9", 9);
    file.insert(file.end(), {"# options", "overlay on", "poses out/poses.jsonl", "record  rec dir",
                             "poses -", "overlay"});
    write(lf(file));
    Read r = readWithReport();
    ASSERT_EQ(r.result, 1) << r.error;
    EXPECT_EQ(appOptions.overlay, 1);
    EXPECT_STREQ(appOptions.posesPath, "out/poses.jsonl");
    EXPECT_STREQ(appOptions.recordPath, "rec dir");
    const std::vector<std::string> expected = {
        "data/tarlim.conf:4: warning: marker count 9 is above 8; the markers after the 8th are "
        "ignored",
        "data/tarlim.conf:54: warning: poses: standard output (\"-\") only from the command line: "
        "--poses -; line ignored",
        "data/tarlim.conf:55: warning: overlay: expected on or off, got \"\"; line ignored",
    };
    EXPECT_EQ(r.warnings, expected);
    // The same file through cfgRead: the same configuration, no options.
    ASSERT_EQ(cfgRead(), 1);
    EXPECT_EQ(appOptions.overlay, 0);
    EXPECT_EQ(appConfig.markerCount, 8);
    // With no markers the options follow the count line.
    write("v\nc\n100\n0\noverlay on\n");
    r = readWithReport();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(appOptions.overlay, 1);
    EXPECT_TRUE(r.warnings.empty());
}
