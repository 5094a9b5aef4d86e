// Parameters-file reader on arbitrary bytes. An EIEException (EIEParamsFileError for a
// damaged file) is an expected outcome and must leave the record as it was; any other
// exception escapes and is reported by libFuzzer. A file that loads must survive a round
// trip: saving the record, loading that and saving again gives the same bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/harness.h"
#include "image/errors.h"
#include "io/params.h"
#include "io/stream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tw::fuzz::LimitImageSizes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tw;
    TIOParamsVals params;
    TIOParamsVals untouched;
    try {
        TMemoryViewStream stream(data, size);
        params.LoadFromStream(stream);
    } catch (const EIEException&) {
        if (!(static_cast<const TIOParamsFields&>(params) == static_cast<const TIOParamsFields&>(untouched)))
            std::abort(); // a failed load changed the record
        return 0;
    }

    TMemoryStream first;
    params.SaveToStream(first);
    TIOParamsVals again;
    first.SetPosition(0);
    again.LoadFromStream(first); // what we wrote must load: no exception is expected here
    TMemoryStream second;
    again.SaveToStream(second);
    if (first.Data() != second.Data()) std::abort();
    return 0;
}
