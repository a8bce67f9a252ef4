// Image files. PNG goes through libpng's simplified interface, which does every colour-type
// and bit-depth conversion and reports errors through a flag; JPEG through libjpeg-turbo,
// whose errors arrive by a long jump back into the one function that set it up.
#include "util/util.h"

#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

namespace {

// The first bytes that identify each format.
constexpr std::uint8_t kUtilPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint8_t kUtilJpegSignature[3] = {0xff, 0xd8, 0xff};

void utilReason(char* reason, int reasonSize, const char* format, const char* a, const char* b)
{
    if (reason == nullptr || reasonSize <= 0) return;
    std::snprintf(reason, static_cast<std::size_t>(reasonSize), format, a, b);
}

// Whether a width x height image may be decoded: each side 1..kUtilImageSideMax and at
// most maxPixels pixels. Writes the "too large" reason otherwise.
bool utilSizeAllowed(std::uint32_t width, std::uint32_t height, int64_t maxPixels, char* reason,
                     int reasonSize)
{
    if (width >= 1 && height >= 1 && width <= kUtilImageSideMax && height <= kUtilImageSideMax &&
        static_cast<int64_t>(width) * static_cast<int64_t>(height) <= maxPixels)
        return true;
    if (reason != nullptr && reasonSize > 0) {
        if (width == 0 || height == 0)
            std::snprintf(reason, static_cast<std::size_t>(reasonSize), "empty image: %ux%u pixels",
                          width, height);
        else
            std::snprintf(reason, static_cast<std::size_t>(reasonSize), "too large: %ux%u pixels",
                          width, height);
    }
    return false;
}

// ---- PNG --------------------------------------------------------------------------------

int utilPngRead(std::FILE* file, int order, int64_t maxPixels, UtilImage* image, char* reason,
                int reasonSize)
{
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_stdio(&png, file)) {
        utilReason(reason, reasonSize, "damaged PNG: %s%s", png.message, "");
        return -1;
    }
    if (!utilSizeAllowed(png.width, png.height, maxPixels, reason, reasonSize)) {
        png_image_free(&png);
        return -1;
    }
    png.format = order == kUtilBgra ? PNG_FORMAT_BGRA : PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        utilReason(reason, reasonSize, "damaged PNG: %s%s", png.message, "");
        png_image_free(&png);
        return -1;
    }
    image->width = static_cast<int>(png.width);
    image->height = static_cast<int>(png.height);
    image->format = kUtilFormatPng;
    image->pixels.swap(pixels);
    return 0;
}

// A PNG chunk: length, type, data, CRC of type and data.
void utilPngChunk(std::vector<std::uint8_t>* out, const char type[4], const std::uint8_t* data,
                  std::uint32_t length)
{
    auto put32 = [out](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out->push_back(static_cast<std::uint8_t>(v >> shift));
    };
    put32(length);
    const std::size_t typeAt = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data, data + length);
    const uLong crc = crc32(0L, out->data() + typeAt, static_cast<uInt>(length + 4));
    put32(static_cast<std::uint32_t>(crc));
}

// ---- JPEG -------------------------------------------------------------------------------

// libjpeg's default error handler ends the process; this one jumps back to the caller with
// the decoder's message.
struct UtilJpegError {
    jpeg_error_mgr manager;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

void utilJpegFail(j_common_ptr info)
{
    UtilJpegError* error = reinterpret_cast<UtilJpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->back, 1);
}

// Warnings (a truncated file, corrupt data that decoding survives) count as damage: a
// half-grey texture is worse than an untextured face with a reason.
void utilJpegWarn(j_common_ptr info, int level)
{
    if (level < 0) utilJpegFail(info);
}

// Decodes into *pixels (owned by the caller so that no object of this frame is changed
// between the jump's set-up and the jump). Returns 0, or -1 with the reason written.
int utilJpegDecode(std::FILE* file, int order, int64_t maxPixels, std::vector<std::uint8_t>* pixels,
                   std::uint32_t size[2], char* reason, int reasonSize)
{
    jpeg_decompress_struct info;
    UtilJpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = utilJpegFail;
    error.manager.emit_message = utilJpegWarn;
    error.message[0] = '\0';
    if (setjmp(error.back)) {
        utilReason(reason, reasonSize, "damaged JPEG: %s%s", error.message, "");
        jpeg_destroy_decompress(&info);
        return -1;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    if (!utilSizeAllowed(info.image_width, info.image_height, maxPixels, reason, reasonSize)) {
        jpeg_destroy_decompress(&info);
        return -1;
    }
    info.out_color_space = order == kUtilBgra ? JCS_EXT_BGRA : JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    const std::size_t stride = static_cast<std::size_t>(info.output_width) * 4;
    pixels->resize(stride * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels->data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    size[0] = info.output_width;
    size[1] = info.output_height;
    jpeg_destroy_decompress(&info);
    return 0;
}

int utilJpegRead(std::FILE* file, int order, int64_t maxPixels, UtilImage* image, char* reason,
                 int reasonSize)
{
    std::vector<std::uint8_t> pixels;
    std::uint32_t size[2] = {0, 0};
    if (utilJpegDecode(file, order, maxPixels, &pixels, size, reason, reasonSize) < 0) return -1;
    image->width = static_cast<int>(size[0]);
    image->height = static_cast<int>(size[1]);
    image->format = kUtilFormatJpeg;
    image->pixels.swap(pixels);
    return 0;
}

// Encodes `rows` (already RGB or BGR with alpha, per order) to an open file. Returns 0 or -1.
int utilJpegEncode(std::FILE* file, int width, int height, const std::uint8_t* pixels, int order,
                   int quality)
{
    jpeg_compress_struct info;
    UtilJpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = utilJpegFail;
    if (setjmp(error.back)) {
        jpeg_destroy_compress(&info);
        return -1;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 4;
    info.in_color_space = order == kUtilBgra ? JCS_EXT_BGRA : JCS_EXT_RGBA;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + stride * info.next_scanline);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return 0;
}

bool utilWriteArgsValid(const char* path, int width, int height, const std::uint8_t* pixels,
                        int order)
{
    return path != nullptr && pixels != nullptr && width >= 1 && height >= 1 &&
           width <= kUtilImageSideMax && height <= kUtilImageSideMax &&
           (order == kUtilRgba || order == kUtilBgra);
}

}  // namespace

int utilImageRead(const char* path, int order, int64_t maxPixels, UtilImage* image, char* reason,
                  int reasonSize)
{
    if (path == nullptr || image == nullptr || (order != kUtilRgba && order != kUtilBgra)) {
        utilReason(reason, reasonSize, "bad argument%s%s", "", "");
        return -1;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        if (errno == ENOENT)
            utilReason(reason, reasonSize, "no such file%s%s", "", "");
        else
            utilReason(reason, reasonSize, "cannot open: %s%s", std::strerror(errno), "");
        return -1;
    }
    std::uint8_t head[8] = {0};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    int result = -1;
    if (got == sizeof head && std::memcmp(head, kUtilPngSignature, 8) == 0) {
        std::rewind(file);
        result = utilPngRead(file, order, maxPixels, image, reason, reasonSize);
    } else if (got >= 3 && std::memcmp(head, kUtilJpegSignature, 3) == 0) {
        std::rewind(file);
        result = utilJpegRead(file, order, maxPixels, image, reason, reasonSize);
    } else {
        utilReason(reason, reasonSize, "not a PNG or JPEG file%s%s", "", "");
    }
    std::fclose(file);
    return result;
}

const char* utilImageFormatName(int format)
{
    if (format == kUtilFormatPng) return "png";
    if (format == kUtilFormatJpeg) return "jpeg";
    return "none";
}

namespace {

// utilPngWrite and utilPngWriteFast: `flags` are libpng's simplified-writer flags.
int utilPngWriteWith(const char* path, int width, int height, const std::uint8_t* pixels, int order,
                     int withAlpha, double pixelsPerMetre, png_uint_32 flags)
{
    if (!utilWriteArgsValid(path, width, height, pixels, order) || !(pixelsPerMetre >= 0.0) ||
        pixelsPerMetre > 4294967295.0)
        return -1;
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(width);
    png.height = static_cast<png_uint_32>(height);
    png.flags = flags;
    // The simplified writer drops the alpha byte itself when asked for RGB from 4 bytes.
    if (order == kUtilBgra)
        png.format = withAlpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
    else
        png.format = withAlpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    std::vector<std::uint8_t> packed;
    const std::uint8_t* rows = pixels;
    if (!withAlpha) {
        const std::size_t count =
            static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        packed.resize(count * 3);
        for (std::size_t i = 0; i < count; i++) std::memcpy(&packed[i * 3], &pixels[i * 4], 3);
        rows = packed.data();
    }
    png_alloc_size_t bytes = 0;
    // Fast writes go in one pass into room for the worst case (frame-sized images);
    // the others measure first, which compresses twice but allocates only what is used.
    if ((flags & PNG_IMAGE_FLAG_FAST) != 0) {
        bytes = PNG_IMAGE_PNG_SIZE_MAX(png);
    } else if (!png_image_write_get_memory_size(png, bytes, 0, rows, 0, nullptr)) {
        png_image_free(&png);
        return -1;
    }
    std::vector<std::uint8_t> encoded(bytes);
    const int ok = png_image_write_to_memory(&png, encoded.data(), &bytes, 0, rows, 0, nullptr);
    png_image_free(&png);
    if (!ok) return -1;
    encoded.resize(bytes);

    std::vector<std::uint8_t> file(encoded.begin(), encoded.begin() + 33);  // signature, IHDR
    if (pixelsPerMetre > 0.0) {
        const std::uint32_t ppm = static_cast<std::uint32_t>(pixelsPerMetre + 0.5);
        const std::uint8_t phys[9] = {static_cast<std::uint8_t>(ppm >> 24),
                                      static_cast<std::uint8_t>(ppm >> 16),
                                      static_cast<std::uint8_t>(ppm >> 8),
                                      static_cast<std::uint8_t>(ppm),
                                      static_cast<std::uint8_t>(ppm >> 24),
                                      static_cast<std::uint8_t>(ppm >> 16),
                                      static_cast<std::uint8_t>(ppm >> 8),
                                      static_cast<std::uint8_t>(ppm),
                                      1};  // unit: the metre
        utilPngChunk(&file, "pHYs", phys, 9);
    }
    file.insert(file.end(), encoded.begin() + 33, encoded.end());

    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return -1;
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return (std::fclose(out) == 0 && written) ? 0 : -1;
}

}  // namespace

int utilPngWrite(const char* path, int width, int height, const std::uint8_t* pixels, int order,
                 int withAlpha, double pixelsPerMetre)
{
    return utilPngWriteWith(path, width, height, pixels, order, withAlpha, pixelsPerMetre, 0);
}

int utilPngWriteFast(const char* path, int width, int height, const std::uint8_t* pixels, int order)
{
    return utilPngWriteWith(path, width, height, pixels, order, 0, 0.0, PNG_IMAGE_FLAG_FAST);
}

int utilJpegWrite(const char* path, int width, int height, const std::uint8_t* pixels, int order,
                  int quality)
{
    if (!utilWriteArgsValid(path, width, height, pixels, order) || quality < 1 || quality > 100)
        return -1;
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return -1;
    const int encoded = utilJpegEncode(out, width, height, pixels, order, quality);
    const bool closed = std::fclose(out) == 0;
    return (encoded == 0 && closed) ? 0 : -1;
}
