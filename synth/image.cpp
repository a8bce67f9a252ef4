// Images in the frame layout, and PNG files through libpng's simplified interface,
// which does every colour-type and bit-depth conversion for us and reports errors
// through a flag instead of a long jump.
#include "synth/synth.h"

#include <png.h>

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
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path)) return -1;
    if (!synthSideValid(static_cast<int>(png.width > 0x7fffffffu ? 0 : png.width)) ||
        !synthSideValid(static_cast<int>(png.height > 0x7fffffffu ? 0 : png.height))) {
        png_image_free(&png);
        return -1;
    }
    // BGRA is exactly the frame layout; libpng expands grey, palette and 16-bit input.
    png.format = PNG_FORMAT_BGRA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return -1;
    }
    image->width = static_cast<int>(png.width);
    image->height = static_cast<int>(png.height);
    image->pixels.swap(pixels);
    return 0;
}

int synthPngWrite(const char* path, const SynthImage* image, int withAlpha)
{
    if (path == nullptr || !synthImageValid(image)) return -1;
    const int channels = withAlpha ? 4 : 3;
    const std::size_t count =
        static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
    std::vector<std::uint8_t> packed(count * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < count; i++) {
        const std::uint8_t* in = &image->pixels[i * 4];
        std::uint8_t* out = &packed[i * static_cast<std::size_t>(channels)];
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
        if (withAlpha) out[3] = in[3];
    }
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image->width);
    png.height = static_cast<png_uint_32>(image->height);
    png.format = withAlpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    const int ok = png_image_write_to_file(&png, path, 0, packed.data(), 0, nullptr);
    png_image_free(&png);
    return ok ? 0 : -1;
}
