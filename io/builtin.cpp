#include "io/builtin.h"

#include "io/formats.h"
#include "io/imageio.h"

namespace tw {

namespace {

std::vector<TIEBuiltinFormat> MakeTable() {
    std::vector<TIEBuiltinFormat> t;
    return t;
}

} // namespace

const TIEBuiltinFormat* BuiltinFormat(int32_t code) {
    static const std::vector<TIEBuiltinFormat> table = MakeTable();
    for (const auto& f : table)
        if (f.Code == code) return &f;
    return nullptr;
}

} // namespace tw
