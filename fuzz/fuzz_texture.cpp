// Bitmap texture: modelLoadTexture on the input as a binary stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "model/model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (fp == nullptr) std::abort();
    int width = -1;
    unsigned char* texels = modelLoadTexture(fp, &width);  // closes fp
    if (texels == nullptr) return 0;
    if (width < 1 || width > kModelMaxTextureWidth || (width & (width - 1)) != 0) std::abort();
    // Every texel of the W x W buffer is defined and opaque, also past a short file.
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(width);
    for (size_t i = 0; i < count; i++) {
        if (texels[i * 4 + 3] != 255) std::abort();
    }
    std::free(texels);
    return 0;
}
