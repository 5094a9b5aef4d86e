#include "io/limits.h"

#include <cerrno>
#include <cstdlib>

namespace tw {

static uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* v = std::getenv(name);
    if (!v || !*v) return fallback;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 10);
    if (errno != 0 || !end || *end != '\0' || n == 0) return fallback;
    return n;
}

const TIEImageLimits& ImageLimits() {
    static const TIEImageLimits limits = [] {
        TIEImageLimits l;
        l.MaxPixels = EnvNumber("TARNWICK_MAX_PIXELS", l.MaxPixels);
        uint64_t side = EnvNumber("TARNWICK_MAX_SIDE", uint64_t(l.MaxSide));
        l.MaxSide = side > uint64_t(INT32_MAX) ? INT32_MAX : int64_t(side);
        return l;
    }();
    return limits;
}

bool CheckedMul(int64_t a, int64_t b, int64_t& result) {
    if (a < 0 || b < 0) return false;
    return !__builtin_mul_overflow(a, b, &result);
}

std::string CheckImageSize(int64_t width, int64_t height) {
    const TIEImageLimits& l = ImageLimits();
    std::string size = std::to_string(width) + " x " + std::to_string(height);
    if (width <= 0 || height <= 0) return "image size " + size + " is not valid";
    if (width > l.MaxSide || height > l.MaxSide)
        return "image of " + size + " pixels exceeds the limit of " + std::to_string(l.MaxSide) +
               " pixels per side (set TARNWICK_MAX_SIDE to raise it)";
    int64_t pixels;
    if (!CheckedMul(width, height, pixels) || uint64_t(pixels) > l.MaxPixels)
        return "image of " + size + " pixels exceeds the limit of " + std::to_string(l.MaxPixels) +
               " pixels per image (set TARNWICK_MAX_PIXELS to raise it)";
    return {};
}

} // namespace tw
