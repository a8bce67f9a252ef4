// Images in the frame layout, and PNG files (through util's image files).
#include "synth/synth.h"

#include "util/util.h"

#include <cstddef>
#include <cstring>

namespace {

bool synthSideValid(int side)
{
    return side >= 1 && side <= kSynthMaxImageSide;
}

bool synthImageValid(const SynthImage* image)
{
    return image != nullptr && synthSideValid(image->width) && synthSideValid(image->height) &&
           image->pixels.size() ==
               static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height) * 4;
}

}  // namespace

int synthImageMake(int width, int height, int blue, int green, int red, SynthImage* image)
{
    if (image == nullptr || !synthSideValid(width) || !synthSideValid(height)) return -1;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    image->width = width;
    image->height = height;
    image->pixels.resize(count * 4);
    const std::uint8_t pixel[4] = {static_cast<std::uint8_t>(blue),
                                   static_cast<std::uint8_t>(green), static_cast<std::uint8_t>(red),
                                   255};
    for (std::size_t i = 0; i < count; i++) std::memcpy(&image->pixels[i * 4], pixel, 4);
    return 0;
}

int synthPngRead(const char* path, SynthImage* image)
{
    if (path == nullptr || image == nullptr) return -1;
    UtilImage file;
    constexpr int64_t kSide = kSynthMaxImageSide;
    if (utilImageRead(path, kUtilBgra, kSide * kSide, &file, nullptr, 0) < 0) return -1;
    if (file.format != kUtilFormatPng || !synthSideValid(file.width) ||
        !synthSideValid(file.height))
        return -1;
    image->width = file.width;
    image->height = file.height;
    image->pixels.swap(file.pixels);
    return 0;
}

int synthPngWrite(const char* path, const SynthImage* image, int withAlpha)
{
    if (path == nullptr || !synthImageValid(image)) return -1;
    return utilPngWrite(path, image->width, image->height, image->pixels.data(), kUtilBgra,
                        withAlpha, 0.0);
}
