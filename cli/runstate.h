// What the command line asked for: filled by validation, read by the conversion run and
// the processing sequence.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

struct TRunState {
    std::string InputName;  // argument 1
    std::string OutputName; // value of -O; empty means "save over the input"
    std::string SaveName;   // copy of OutputName taken right after parsing
    // Resize mode, filter and degrees stay text and are compared as text ("01" is not "1").
    std::string ResizeMode = "1"; // -P; empty when absent (no resize)
    int32_t Width = 800;          // -W
    int32_t Height = 600;         // -H
    std::string Filter = "1";     // -F, only when present
    std::string Degrees = "0";    // -D; empty when absent (no rotation)
    bool Mirror = false;          // -R
    bool UpsideDown = false;      // -V
    // The saved writer options, read before a save to an output name; formed at start-up.
    std::string UserParamsPath;
};

} // namespace tw
