// Image files: round trips through our writers, the colour types other programs write,
// the resolution chunk as a PNG reader sees it, and the reasons a user reads when a file
// cannot be used.
#include "util/util.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string scratch(const char* name)
{
    return std::string(TARLIM_BINARY_DIR) + "/test_util_" + name;
}

// A picture with every channel varying on its own, alpha included.
std::vector<std::uint8_t> gradient(int width, int height)
{
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / (width - 1));
            p[1] = static_cast<std::uint8_t>(y * 255 / (height - 1));
            p[2] = static_cast<std::uint8_t>((x + y) * 255 / (width + height - 2));
            p[3] = static_cast<std::uint8_t>(255 - x * 200 / (width - 1));
        }
    return pixels;
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

std::vector<std::uint8_t> readBytes(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return bytes;
}

// Writes a PNG of libpng's simplified `format` (grey, grey+alpha, palette ...) from RGBA.
void writeOtherPng(const std::string& path, int width, int height, png_uint_32 format,
                   const std::vector<std::uint8_t>& rgba)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = width;
    png.height = height;
    png.format = PNG_FORMAT_RGBA;
    // Convert through libpng itself: read our RGBA into the target format by writing
    // RGBA to memory and re-reading it as `format`.
    png_alloc_size_t bytes = 0;
    ASSERT_TRUE(png_image_write_get_memory_size(png, bytes, 0, rgba.data(), 0, nullptr));
    std::vector<std::uint8_t> encoded(bytes);
    ASSERT_TRUE(
        png_image_write_to_memory(&png, encoded.data(), &bytes, 0, rgba.data(), 0, nullptr));
    png_image back{};
    back.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&back, encoded.data(), bytes));
    back.format = format;
    std::vector<std::uint8_t> converted(PNG_IMAGE_SIZE(back));
    std::vector<std::uint8_t> colormap(PNG_IMAGE_COLORMAP_SIZE(back));
    ASSERT_TRUE(png_image_finish_read(&back, nullptr, converted.data(), 0, colormap.data()));
    png_image out{};
    out.version = PNG_IMAGE_VERSION;
    out.width = width;
    out.height = height;
    out.format = format;
    out.colormap_entries = back.colormap_entries;
    ASSERT_TRUE(
        png_image_write_to_file(&out, path.c_str(), 0, converted.data(), 0, colormap.data()));
}

}  // namespace

TEST(UtilImage, PngRoundTripsInBothChannelOrdersWithAndWithoutAlpha)
{
    const int w = 37, h = 23;  // odd sizes: no row padding assumed anywhere
    const std::vector<std::uint8_t> rgba = gradient(w, h);
    const std::string path = scratch("round.png");
    ASSERT_EQ(utilPngWrite(path.c_str(), w, h, rgba.data(), kUtilRgba, 1, 0.0), 0);

    UtilImage image;
    char reason[128] = "";
    ASSERT_EQ(utilImageRead(path.c_str(), kUtilRgba, 1 << 20, &image, reason, sizeof reason), 0)
        << reason;
    EXPECT_EQ(image.width, w);
    EXPECT_EQ(image.height, h);
    EXPECT_EQ(image.format, kUtilFormatPng);
    EXPECT_EQ(image.pixels, rgba);

    UtilImage bgra;
    ASSERT_EQ(utilImageRead(path.c_str(), kUtilBgra, 1 << 20, &bgra, nullptr, 0), 0);
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        ASSERT_EQ(bgra.pixels[i], rgba[i + 2]) << "pixel " << i / 4;
        ASSERT_EQ(bgra.pixels[i + 2], rgba[i]) << "pixel " << i / 4;
        ASSERT_EQ(bgra.pixels[i + 3], rgba[i + 3]) << "pixel " << i / 4;
    }

    // Without alpha the file is RGB and reads back opaque; BGRA input keeps its colours.
    ASSERT_EQ(utilPngWrite(path.c_str(), w, h, bgra.pixels.data(), kUtilBgra, 0, 0.0), 0);
    UtilImage opaque;
    ASSERT_EQ(utilImageRead(path.c_str(), kUtilRgba, 1 << 20, &opaque, nullptr, 0), 0);
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        ASSERT_EQ(opaque.pixels[i], rgba[i]) << "pixel " << i / 4;
        ASSERT_EQ(opaque.pixels[i + 1], rgba[i + 1]) << "pixel " << i / 4;
        ASSERT_EQ(opaque.pixels[i + 2], rgba[i + 2]) << "pixel " << i / 4;
        ASSERT_EQ(opaque.pixels[i + 3], 255) << "pixel " << i / 4;
    }
}

TEST(UtilImage, ResolutionChunkIsWhatAPngReaderSees)
{
    const int w = 16, h = 16;
    const std::vector<std::uint8_t> rgba = gradient(w, h);
    const std::string path = scratch("dpi.png");
    // 300 dots per inch.
    ASSERT_EQ(utilPngWrite(path.c_str(), w, h, rgba.data(), kUtilRgba, 0, 300 / 0.0254), 0);

    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_read_info(png, info);  // a bad CRC would make libpng drop the chunk
    png_uint_32 x = 0, y = 0;
    int unit = -1;
    EXPECT_NE(png_get_pHYs(png, info, &x, &y, &unit), 0u);
    EXPECT_EQ(x, 11811u);
    EXPECT_EQ(y, 11811u);
    EXPECT_EQ(unit, PNG_RESOLUTION_METER);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);

    UtilImage image;
    ASSERT_EQ(utilImageRead(path.c_str(), kUtilRgba, 1 << 20, &image, nullptr, 0), 0);
    EXPECT_EQ(image.width, w);

    // No resolution asked: no chunk.
    ASSERT_EQ(utilPngWrite(path.c_str(), w, h, rgba.data(), kUtilRgba, 0, 0.0), 0);
    const std::vector<std::uint8_t> bytes = readBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("pHYs"), std::string::npos);
}

TEST(UtilImage, ReadsGreyGreyAlphaAndPalettePngs)
{
    const int w = 20, h = 12;
    std::vector<std::uint8_t> rgba = gradient(w, h);
    struct Case {
        const char* name;
        png_uint_32 format;
    } cases[] = {{"grey", PNG_FORMAT_GRAY},
                 {"greyalpha", PNG_FORMAT_GA},
                 {"palette", PNG_FORMAT_RGBA_COLORMAP}};
    for (const Case& c : cases) {
        const std::string path = scratch((std::string(c.name) + ".png").c_str());
        writeOtherPng(path, w, h, c.format, rgba);
        UtilImage image;
        char reason[128] = "";
        ASSERT_EQ(utilImageRead(path.c_str(), kUtilRgba, 1 << 20, &image, reason, sizeof reason), 0)
            << c.name << ": " << reason;
        ASSERT_EQ(image.width, w) << c.name;
        ASSERT_EQ(image.pixels.size(), rgba.size()) << c.name;
        const bool grey = c.format == PNG_FORMAT_GRAY || c.format == PNG_FORMAT_GA;
        const bool alpha = c.format != PNG_FORMAT_GRAY;
        for (std::size_t i = 0; i < rgba.size(); i += 4) {
            if (grey) {
                ASSERT_EQ(image.pixels[i], image.pixels[i + 1]) << c.name << " pixel " << i / 4;
                ASSERT_EQ(image.pixels[i], image.pixels[i + 2]) << c.name << " pixel " << i / 4;
            }
            if (!alpha) {
                ASSERT_EQ(image.pixels[i + 3], 255) << c.name << " pixel " << i / 4;
            }
        }
        if (alpha) {  // the transparent right-hand side stays transparent
            EXPECT_LT(image.pixels[(w - 1) * 4 + 3], 100) << c.name;
        }
    }
}

TEST(UtilImage, JpegRoundTripStaysCloseAndReadsInBothOrders)
{
    const int w = 64, h = 48;
    const std::vector<std::uint8_t> rgba = gradient(w, h);
    const std::string path = scratch("round.jpg");
    ASSERT_EQ(utilJpegWrite(path.c_str(), w, h, rgba.data(), kUtilRgba, 95), 0);

    UtilImage image, bgra;
    char reason[128] = "";
    ASSERT_EQ(utilImageRead(path.c_str(), kUtilRgba, 1 << 20, &image, reason, sizeof reason), 0)
        << reason;
    ASSERT_EQ(utilImageRead(path.c_str(), kUtilBgra, 1 << 20, &bgra, nullptr, 0), 0);
    EXPECT_EQ(image.format, kUtilFormatJpeg);
    EXPECT_STREQ(utilImageFormatName(image.format), "jpeg");
    ASSERT_EQ(image.width, w);
    ASSERT_EQ(image.height, h);
    int worst = 0;
    for (std::size_t i = 0; i < rgba.size(); i += 4) {
        for (int c = 0; c < 3; c++)
            worst = std::max(worst, std::abs(image.pixels[i + c] - rgba[i + c]));
        ASSERT_EQ(image.pixels[i + 3], 255);
        ASSERT_EQ(bgra.pixels[i], image.pixels[i + 2]);
        ASSERT_EQ(bgra.pixels[i + 2], image.pixels[i]);
    }
    EXPECT_LE(worst, 12) << "a smooth gradient at quality 95";
}

TEST(UtilImage, FilesThatCannotBeUsedSayWhyAndLeaveTheImageUntouched)
{
    const int w = 40, h = 30;
    const std::vector<std::uint8_t> rgba = gradient(w, h);
    const std::string png = scratch("cut.png"), jpg = scratch("cut.jpg");
    ASSERT_EQ(utilPngWrite(png.c_str(), w, h, rgba.data(), kUtilRgba, 1, 0.0), 0);
    ASSERT_EQ(utilJpegWrite(jpg.c_str(), w, h, rgba.data(), kUtilRgba, 90), 0);
    std::vector<std::uint8_t> pngBytes = readBytes(png), jpgBytes = readBytes(jpg);
    pngBytes.resize(pngBytes.size() / 2);
    jpgBytes.resize(jpgBytes.size() / 2);
    writeBytes(png, pngBytes);
    writeBytes(jpg, jpgBytes);
    const std::string text = scratch("text.png");
    writeBytes(text, std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
    const std::string big = scratch("big.png");
    ASSERT_EQ(utilPngWrite(big.c_str(), w, h, rgba.data(), kUtilRgba, 1, 0.0), 0);

    struct Case {
        std::string path;
        int64_t maxPixels;
        const char* reasonStart;
    } cases[] = {
        {scratch("missing.png"), 1 << 20, "no such file"},
        {png, 1 << 20, "damaged PNG: "},
        {jpg, 1 << 20, "damaged JPEG: "},
        {text, 1 << 20, "not a PNG or JPEG file"},
        {big, w * h - 1, "too large: 40x30 pixels"},
    };
    for (const Case& c : cases) {
        UtilImage image;
        image.width = 7;
        char reason[128] = "";
        EXPECT_EQ(
            utilImageRead(c.path.c_str(), kUtilRgba, c.maxPixels, &image, reason, sizeof reason),
            -1)
            << c.path;
        EXPECT_EQ(std::string(reason).rfind(c.reasonStart, 0), 0u)
            << c.path << ": \"" << reason << "\"";
        EXPECT_EQ(image.width, 7) << c.path;
        EXPECT_TRUE(image.pixels.empty()) << c.path;
    }
    // Exactly at the limit is allowed.
    UtilImage image;
    EXPECT_EQ(utilImageRead(big.c_str(), kUtilRgba, w * h, &image, nullptr, 0), 0);

    // Writers refuse what they cannot write.
    EXPECT_EQ(utilPngWrite(png.c_str(), 0, h, rgba.data(), kUtilRgba, 1, 0.0), -1);
    EXPECT_EQ(utilPngWrite(png.c_str(), w, h, rgba.data(), kUtilRgba, 1, -1.0), -1);
    EXPECT_EQ(utilJpegWrite(jpg.c_str(), w, h, rgba.data(), kUtilRgba, 0), -1);
    EXPECT_EQ(utilJpegWrite("/nonexistent-dir/x.jpg", w, h, rgba.data(), kUtilRgba, 90), -1);
}
