#include "cli/run.h"

#include "io/filenames.h"
#include "cli/processing.h"
#include "image/errors.h"
#include "io/imagehost.h"

namespace tw {

namespace {

std::string Reason(const TImageIO& io, const char* fallback) {
    return io.AbortReason.empty() ? std::string(fallback) : io.AbortReason;
}

void Save(TImageIO& io, const std::string& name) {
    io.SaveToFile(name);
    if (io.Aborted) throw EIEException("Cannot save \"" + name + "\": " + Reason(io, "the image was not written"));
}

} // namespace

int ConversionRun(const TRunState& state, TLineWriter& out) {
    TImageHost host;
    TImageIO& io = host.IO();
    io.LoadFromFile(state.InputName);
    if (io.Aborted || host.Bitmap().IsEmpty())
        throw EIEException("Cannot load \"" + state.InputName + "\": " + Reason(io, "no image was decoded"));

    ProcessingSequence(state, host.Proc(), out);

    if (state.OutputName.empty()) {
        Save(io, state.InputName);
        out.Line("Save to :", ExtractFilePath(state.InputName));
    } else {
        if (FileExists(state.UserParamsPath)) io.Params.LoadFromFile(state.UserParamsPath);
        Save(io, state.SaveName);
        out.Line("Save to :", state.OutputName);
    }
    return 0;
}

} // namespace tw
