#include "cli/validate.h"

namespace tw {

void PrintUsage(TLineWriter& out) {
    static constexpr const char* kLines[] = {
        "Morvatch Command Line Useage:",
        "",
        "TARNWICK <ImageFileName> [OutFileName] [Option]",
        "",
        "Parameters:",
        "<ImageFileName>:       Input image filename.",
        "",
        "[OutFileName]:         ",
        "-O<OutFileName>:       Output image filename.",
        "",
        "Resize image Option:",
        "-P<Resize Parameter>:  Resize Parameter:",
        "                       1 : Crop image to select size.",
        "                       2 : Shrink or enlarge images to the w * h size.",
        "                       3 : Fit image to the w * h size.",
        "                       Resize -W,-H",
        "-W<Resize Width>:      Resize image width. Default is 800.",
        "-H<Resize Height>:     Resize image height. Default is 600.",
        "-F<Resample Filter>:   Resample filters:",
        "                       1 : Using Nearest method  to Resample Filter.",
        "                       2 : Using Bilinear method  to Resample Filter.",
        "                       3 : Using Lanczos method  to Resample Filter.",
        "",
        "Flip image Option:",
        "-D<Degrees Rotate>:    -90,90,180,270",
        "-R<Horizontally>:      Horizontally image.",
        "-V<Vertically>:        Vertically image.",
        "",
        "",
        "Examples:",
        "\"C:\\source01.JPG\"",
        "\"C:\\source01.JPG\" -D90",
    };
    for (const char* line : kLines)
        out.Line(line);
}

} // namespace tw
