// XWD reader: header of 25 big-endian 32-bit fields, window name, colour table,
// then the pixmap in the server's byte order.
#include "tools/xwd.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr int kXwdHeaderFields = 25;
constexpr uint32_t kXwdVersion = 7;
constexpr uint32_t kXwdZPixmap = 2;
constexpr uint32_t kXwdTrueColor = 4;
constexpr uint32_t kXwdDirectColor = 5;
constexpr uint32_t kXwdColorSize = 12;  // pixel, red, green, blue, flags, pad

enum XwdField {
    kHeaderSize,
    kFileVersion,
    kPixmapFormat,
    kPixmapDepth,
    kPixmapWidth,
    kPixmapHeight,
    kXOffset,
    kByteOrder,
    kBitmapUnit,
    kBitmapBitOrder,
    kBitmapPad,
    kBitsPerPixel,
    kBytesPerLine,
    kVisualClass,
    kRedMask,
    kGreenMask,
    kBlueMask,
    kBitsPerRgb,
    kColormapEntries,
    kNColors,
};

uint32_t xwdBig32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// One channel of a pixel scaled to 0..255 from its mask.
int xwdChannel(uint32_t pixel, uint32_t mask)
{
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1u) == 0) shift++;
    const uint32_t maximum = mask >> shift;
    return static_cast<int>(((pixel & mask) >> shift) * 255u / maximum);
}

}  // namespace

int xwdRead(const std::string& path, SynthImage* image, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return -1;
    }
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (data.size() < kXwdHeaderFields * 4u) {
        *error = "file too short for an XWD header";
        return -1;
    }
    uint32_t h[kXwdHeaderFields];
    for (int i = 0; i < kXwdHeaderFields; i++) h[i] = xwdBig32(&data[i * 4]);
    if (h[kFileVersion] != kXwdVersion || h[kPixmapFormat] != kXwdZPixmap ||
        (h[kVisualClass] != kXwdTrueColor && h[kVisualClass] != kXwdDirectColor) ||
        (h[kBitsPerPixel] != 24 && h[kBitsPerPixel] != 32)) {
        *error = "not a 24/32-bit true-colour ZPixmap XWD file";
        return -1;
    }
    const uint64_t width = h[kPixmapWidth], height = h[kPixmapHeight], stride = h[kBytesPerLine];
    const uint64_t bytesPerPixel = h[kBitsPerPixel] / 8;
    const uint64_t start = uint64_t(h[kHeaderSize]) + uint64_t(h[kNColors]) * kXwdColorSize;
    if (width < 1 || height < 1 || width > kSynthMaxImageSide || height > kSynthMaxImageSide ||
        stride < width * bytesPerPixel || start + stride * height > data.size()) {
        *error = "XWD image size does not match the file";
        return -1;
    }
    SynthImage out;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.pixels.resize(width * height * 4);
    const bool msbFirst = h[kByteOrder] != 0;
    for (uint64_t y = 0; y < height; y++) {
        for (uint64_t x = 0; x < width; x++) {
            const uint8_t* p = &data[start + y * stride + x * bytesPerPixel];
            uint32_t pixel = 0;
            for (uint64_t b = 0; b < bytesPerPixel; b++) {
                const uint64_t shift = msbFirst ? 8 * (bytesPerPixel - 1 - b) : 8 * b;
                pixel |= uint32_t(p[b]) << shift;
            }
            uint8_t* q = &out.pixels[(y * width + x) * 4];
            q[0] = static_cast<uint8_t>(xwdChannel(pixel, h[kBlueMask]));
            q[1] = static_cast<uint8_t>(xwdChannel(pixel, h[kGreenMask]));
            q[2] = static_cast<uint8_t>(xwdChannel(pixel, h[kRedMask]));
            q[3] = 255;
        }
    }
    *image = std::move(out);
    return 0;
}

SynthImage xwdCrop(const SynthImage& source, int x, int y, int width, int height)
{
    SynthImage out;
    const int x0 = std::max(x, 0), y0 = std::max(y, 0);
    const int x1 = std::min(x + width, source.width), y1 = std::min(y + height, source.height);
    if (x1 <= x0 || y1 <= y0) return out;
    out.width = x1 - x0;
    out.height = y1 - y0;
    out.pixels.resize(size_t(out.width) * out.height * 4);
    for (int row = 0; row < out.height; row++) {
        const uint8_t* from = &source.pixels[(size_t(y0 + row) * source.width + x0) * 4];
        std::copy(from, from + size_t(out.width) * 4, &out.pixels[size_t(row) * out.width * 4]);
    }
    return out;
}

SynthImage xwdShrink(const SynthImage& source, int factor)
{
    if (factor <= 1) return source;
    SynthImage out;
    out.width = source.width / factor;
    out.height = source.height / factor;
    if (out.width < 1 || out.height < 1) return SynthImage{};
    out.pixels.resize(size_t(out.width) * out.height * 4);
    for (int y = 0; y < out.height; y++) {
        for (int x = 0; x < out.width; x++) {
            for (int c = 0; c < 4; c++) {
                int sum = 0;
                for (int dy = 0; dy < factor; dy++) {
                    for (int dx = 0; dx < factor; dx++) {
                        sum += source.pixels[((size_t(y) * factor + dy) * source.width +
                                              size_t(x) * factor + dx) *
                                                 4 +
                                             c];
                    }
                }
                out.pixels[(size_t(y) * out.width + x) * 4 + c] =
                    static_cast<uint8_t>(sum / (factor * factor));
            }
        }
    }
    return out;
}
