// Reference images for comparisons: PNG files decoded by libpng into 8-bit RGBA.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace twtest {

struct RefImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba; // width x height pixels, R G B A, top row first

    const uint8_t* At(int x, int y) const {
        return rgba.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
    }
};

// Reads a PNG file of any colour type and depth as 8-bit RGBA; false (and the
// library's message in error) when the file cannot be read.
bool ReadPngRgba(const std::string& path, RefImage& image, std::string* error = nullptr);

} // namespace twtest
