#include "cli/run.h"

#include "image/errors.h"

namespace tw {

int ConversionRun(const TRunState& /*state*/, TLineWriter& /*out*/) {
    throw EIEException("conversion is not available yet");
}

} // namespace tw
