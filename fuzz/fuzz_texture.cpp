// Texture files: the bitmap reader on the input as a binary stream (modelLoadTexture),
// then the whole loader by path (modelReadImage: PNG, JPEG or bitmap by content) and
// the resampling every GL that takes only powers of two needs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_scratch.h"
#include "model/model.h"

namespace {

// Images beyond this are refused unread here: a mutated header may ask for the
// loader's whole 64 Mi pixels, which would make each such input take seconds.
constexpr std::int64_t kFuzzMaxPixels = 1 << 20;

void checkBitmapStream(const uint8_t* data, size_t size)
{
    FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (fp == nullptr) std::abort();
    int width = -1;
    unsigned char* texels = modelLoadTexture(fp, &width);  // closes fp
    if (texels == nullptr) return;
    if (width < 1 || width > kModelMaxTextureWidth || (width & (width - 1)) != 0) std::abort();
    // Every texel of the W x W buffer is defined and opaque, also past a short file.
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(width);
    for (size_t i = 0; i < count; i++) {
        if (texels[i * 4 + 3] != 255) std::abort();
    }
    std::free(texels);
}

void checkImageFile(const uint8_t* data, size_t size)
{
    const char* path = fuzzWriteScratch(data, size);
    ModelImage image;
    char reason[kModelReasonSize];
    reason[0] = '\0';
    if (modelReadImage(path, &image, reason, sizeof(reason), kFuzzMaxPixels) < 0) {
        // A failure always says why and leaves no image.
        if (reason[0] == '\0' || std::strlen(reason) >= sizeof(reason)) std::abort();
        if (image.width != 0 || !image.pixels.empty()) std::abort();
        return;
    }
    const size_t texels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
    if (image.width < 1 || image.height < 1 || image.pixels.size() != texels * 4) std::abort();
    if (image.format != kModelImageBmp && static_cast<std::int64_t>(texels) > kFuzzMaxPixels)
        std::abort();
    bool transparent = false;
    for (size_t i = 3; i < image.pixels.size(); i += 4) transparent |= image.pixels[i] != 255;
    if (transparent != (image.transparent != 0)) std::abort();
    // The power-of-two size an old GL would get, kept small so each input stays quick.
    int w = 0, h = 0;
    modelTextureSize(image.width, image.height, false, 64, &w, &h);
    if (w < 1 || h < 1 || w > 64 || h > 64 || (w & (w - 1)) != 0 || (h & (h - 1)) != 0)
        std::abort();
    if (modelResizeImage(&image, w, h) < 0) std::abort();
    if (image.width != w || image.height != h ||
        image.pixels.size() != static_cast<size_t>(w) * h * 4)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    checkBitmapStream(data, size);
    checkImageFile(data, size);
    return 0;
}
