#include "cli/lineout.h"

namespace tw {

void TFileLineWriter::Put(std::string_view text) {
    // A failed write (closed pipe, full disk) is not reported: there is nowhere to report it.
    if (!text.empty()) (void)std::fwrite(text.data(), 1, text.size(), file_);
}

void TFileLineWriter::LineDone() {
    (void)std::fflush(file_);
}

} // namespace tw
