#include "tests/refimage.h"

#include <cstring>
#include <png.h>

namespace twtest {

bool ReadPngRgba(const std::string& path, RefImage& image, std::string* error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    image = RefImage{};
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        if (error) *error = png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        if (error) *error = png.message;
        png_image_free(&png);
        return false;
    }
    image.width = int(png.width);
    image.height = int(png.height);
    image.rgba = std::move(pixels);
    return true;
}

} // namespace twtest
