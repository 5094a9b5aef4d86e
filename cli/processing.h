// The processing sequence: rotation or flip, then crop, stretch or fit, each step
// printing one line.
#pragma once

#include <cstdint>

#include "cli/lineout.h"
#include "cli/runstate.h"
#include "proc/imageproc.h"

namespace tw {

// The filter handed to the resampler for a filter text ("1", "2", "3"); rfNone for others.
TResampleFilter FilterOf(const std::string& filterText);

// The size a fit resizes an IW x IH image to for a W x H box.
void FitSize(int32_t imageWidth, int32_t imageHeight, int32_t boxWidth, int32_t boxHeight, int32_t& targetWidth,
             int32_t& targetHeight);

// Applies the requested operations to the processor's bitmap.
void ProcessingSequence(const TRunState& state, TImageProc& proc, TLineWriter& out);

} // namespace tw
