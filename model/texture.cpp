// Loads the square 24-bit bitmaps that materials name, as top-down RGBA texels.
#include "model/model.h"

#include <cstdlib>
#include <cstring>

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
