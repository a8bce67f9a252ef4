// Loads the texture images that materials name, as top-down RGBA texels: square
// 24-bit bitmaps read here, PNG and JPEG decoded by util.
#include "model/model.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/util.h"

namespace {

constexpr long kModelBitmapWidthOffset = 18;
constexpr long kModelBitmapPixelOffset = 54;

bool modelIsPowerOfTwo(int w)
{
    return w > 0 && (w & (w - 1)) == 0;
}

// Little-endian signed 32-bit value at `offset`, whatever the host's byte order.
bool modelReadInt32At(FILE* fp, long offset, int* value)
{
    unsigned char b[4];
    if (std::fseek(fp, offset, SEEK_SET) != 0 || std::fread(b, 1, 4, fp) != 4) return false;
    const unsigned int u =
        b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<unsigned int>(b[3]) << 24);
    std::memcpy(value, &u, sizeof(u));
    return true;
}

// Every texel starts black and opaque, so whatever a short file does not reach is
// defined.
void modelFillBlack(unsigned char* texels, int w)
{
    const size_t count = static_cast<size_t>(w) * static_cast<size_t>(w);
    std::memset(texels, 0, count * 4);
    for (size_t i = 0; i < count; ++i) texels[i * 4 + 3] = 255;
}

// File row i (bottom first) into buffer row w - 1 - i, blue-green-red to RGBA. Rows
// of a bitmap are padded to 4 bytes, which matters only for widths 1 and 2. Stops at
// the first short row; the rest stays black.
void modelReadRows(FILE* fp, int w, unsigned char* texels)
{
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~static_cast<size_t>(3);
    unsigned char row[kModelMaxTextureWidth * 3];
    for (int i = 0; i < w; ++i) {
        const size_t got = std::fread(row, 1, stride, fp);
        unsigned char* out = texels + static_cast<size_t>(w - 1 - i) * w * 4;
        const size_t pixels = got / 3 < static_cast<size_t>(w) ? got / 3 : static_cast<size_t>(w);
        for (size_t j = 0; j < pixels; ++j) {
            out[j * 4 + 0] = row[j * 3 + 2];
            out[j * 4 + 1] = row[j * 3 + 1];
            out[j * 4 + 2] = row[j * 3 + 0];
        }
        if (got < stride) return;
    }
}

}  // namespace

unsigned char* modelLoadTexture(FILE* fp, int* size)
{
    int w = 0;
    const bool ok = modelReadInt32At(fp, kModelBitmapWidthOffset, &w) && modelIsPowerOfTwo(w) &&
                    w <= kModelMaxTextureWidth &&
                    std::fseek(fp, kModelBitmapPixelOffset, SEEK_SET) == 0;
    unsigned char* texels = nullptr;
    if (ok) texels = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(w) * w * 4));
    if (texels != nullptr) {
        modelFillBlack(texels, w);
        modelReadRows(fp, w, texels);
        *size = w;
    }
    std::fclose(fp);
    return texels;
}

namespace {

void modelReason(char* reason, int reasonSize, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void modelReason(char* reason, int reasonSize, const char* format, ...)
{
    if (reason == nullptr || reasonSize <= 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, static_cast<size_t>(reasonSize), format, args);
    va_end(args);
}

bool modelAnyTransparent(const std::vector<std::uint8_t>& pixels)
{
    for (size_t i = 3; i < pixels.size(); i += 4) {
        if (pixels[i] != 255) return true;
    }
    return false;
}

// The file's format from its first bytes; every file that is neither PNG nor JPEG is
// a bitmap to this loader.
int modelSniffFormat(const unsigned char* head, size_t length)
{
    static const unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (length >= 8 && std::memcmp(head, kPng, 8) == 0) return kModelImagePng;
    if (length >= 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff)
        return kModelImageJpeg;
    return kModelImageBmp;
}

int modelReadBitmapImage(FILE* fp, ModelImage* image, char* reason, int reasonSize)
{
    int widthField = 0;
    if (!modelReadInt32At(fp, kModelBitmapWidthOffset, &widthField)) {
        std::fclose(fp);
        modelReason(reason, reasonSize, "not a PNG, JPEG or bitmap file");
        return -1;
    }
    int w = 0;
    unsigned char* texels = modelLoadTexture(fp, &w);  // closes fp
    if (texels == nullptr) {
        if (modelIsPowerOfTwo(widthField) && widthField <= kModelMaxTextureWidth)
            modelReason(reason, reasonSize, "out of memory");
        else
            modelReason(reason, reasonSize,
                        "not a PNG or JPEG file, and its bitmap width %d is not a power of two "
                        "from 1 to %d",
                        widthField, kModelMaxTextureWidth);
        return -1;
    }
    image->pixels.assign(texels, texels + static_cast<size_t>(w) * w * 4);
    std::free(texels);
    image->width = w;
    image->height = w;
    image->format = kModelImageBmp;
    image->transparent = 0;
    return 0;
}

}  // namespace

int modelReadImage(const char* path, ModelImage* image, char* reason, int reasonSize,
                   std::int64_t maxPixels)
{
    *image = ModelImage{};
    FILE* fp = std::fopen(path, "rb");
    if (fp == nullptr) {
        if (errno == ENOENT)
            modelReason(reason, reasonSize, "no such file");
        else
            modelReason(reason, reasonSize, "cannot open: %s", std::strerror(errno));
        return -1;
    }
    unsigned char head[8];
    const size_t got = std::fread(head, 1, sizeof(head), fp);
    if (std::ferror(fp)) {
        modelReason(reason, reasonSize, "cannot read: %s", std::strerror(errno));
        std::fclose(fp);
        return -1;
    }
    const int format = modelSniffFormat(head, got);
    if (format == kModelImageBmp) return modelReadBitmapImage(fp, image, reason, reasonSize);
    std::fclose(fp);
    UtilImage decoded;
    if (utilImageRead(path, kUtilRgba, maxPixels, &decoded, reason, reasonSize) < 0) return -1;
    image->width = decoded.width;
    image->height = decoded.height;
    image->format = format;
    image->pixels = std::move(decoded.pixels);
    image->transparent = modelAnyTransparent(image->pixels) ? 1 : 0;
    return 0;
}

const char* modelImageFormatName(int format)
{
    switch (format) {
        case kModelImageBmp:
            return "bmp";
        case kModelImagePng:
            return "png";
        case kModelImageJpeg:
            return "jpeg";
        default:
            return "none";
    }
}

int modelResizeImage(ModelImage* image, int width, int height)
{
    if (width < 1 || height < 1 || image->width < 1 || image->height < 1) return -1;
    if (width == image->width && height == image->height) return 0;
    std::vector<std::uint8_t> out;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    if (bytes / 4 / static_cast<size_t>(width) != static_cast<size_t>(height)) return -1;
    out.resize(bytes);
    const int w = image->width, h = image->height;
    const std::uint8_t* in = image->pixels.data();
    // Bilinear at texel centres: output texel (x, y) samples the input at
    // ((x + 0.5) * w / width - 0.5, ...), clamped to the edge texels.
    for (int y = 0; y < height; ++y) {
        double sy = (y + 0.5) * h / height - 0.5;
        sy = sy < 0 ? 0 : sy > h - 1 ? h - 1 : sy;
        const int y0 = static_cast<int>(sy), y1 = y0 + 1 < h ? y0 + 1 : y0;
        const double fy = sy - y0;
        for (int x = 0; x < width; ++x) {
            double sx = (x + 0.5) * w / width - 0.5;
            sx = sx < 0 ? 0 : sx > w - 1 ? w - 1 : sx;
            const int x0 = static_cast<int>(sx), x1 = x0 + 1 < w ? x0 + 1 : x0;
            const double fx = sx - x0;
            const std::uint8_t* a = in + (static_cast<size_t>(y0) * w + x0) * 4;
            const std::uint8_t* b = in + (static_cast<size_t>(y0) * w + x1) * 4;
            const std::uint8_t* c = in + (static_cast<size_t>(y1) * w + x0) * 4;
            const std::uint8_t* d = in + (static_cast<size_t>(y1) * w + x1) * 4;
            std::uint8_t* o = out.data() + (static_cast<size_t>(y) * width + x) * 4;
            for (int k = 0; k < 4; ++k) {
                const double top = a[k] + (b[k] - a[k]) * fx;
                const double bottom = c[k] + (d[k] - c[k]) * fx;
                o[k] = static_cast<std::uint8_t>(top + (bottom - top) * fy + 0.5);
            }
        }
    }
    image->pixels = std::move(out);
    image->width = width;
    image->height = height;
    image->transparent = modelAnyTransparent(image->pixels) ? 1 : 0;
    return 0;
}

void modelTextureSize(int width, int height, bool anySize, int maxSide, int* outWidth,
                      int* outHeight)
{
    if (maxSide < 1) maxSide = 1;
    double w = width, h = height;
    // Shrink both sides by one factor until the larger fits.
    const double larger = w > h ? w : h;
    if (larger > maxSide) {
        w = w * maxSide / larger;
        h = h * maxSide / larger;
    }
    int fw = static_cast<int>(w + 0.5), fh = static_cast<int>(h + 0.5);
    fw = fw < 1 ? 1 : fw > maxSide ? maxSide : fw;
    fh = fh < 1 ? 1 : fh > maxSide ? maxSide : fh;
    if (!anySize) {
        int pw = 1, ph = 1;
        while (pw < fw && pw <= maxSide / 2) pw *= 2;
        while (ph < fh && ph <= maxSide / 2) ph *= 2;
        fw = pw;
        fh = ph;
    }
    *outWidth = fw;
    *outHeight = fh;
}
