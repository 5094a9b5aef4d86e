#include "io/formats.h"

#include <algorithm>
#include <cctype>

namespace tw {

std::vector<TIEFormatRow>& FormatTable() {
    static std::vector<TIEFormatRow> table = [] {
        struct Def {
            int32_t code;
            const char* name;
            const char* exts;
            bool read, write;
            uint16_t pages;
        };
        static const Def defs[] = {
            {ioTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", true, true, 0x0008},
            {ioGIF, "CompuServe Bitmap", "GIF", true, true, 0x0010},
            {ioJPEG, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", true, true, 0x0004},
            {ioPCX, "PaintBrush", "PCX", true, true, 0x0040},
            {ioBMP, "Windows Bitmap", "BMP;DIB;RLE", true, true, 0x0020},
            {ioICO, "Windows Icon", "ICO", true, true, 0},
            {ioCUR, "Windows Cursor", "CUR", true, false, 0},
            {ioPNG, "Portable Network Graphics", "PNG", true, true, 0x0080},
            {ioDICOM, "DICOM Bitmap", "DCM;DIC;DICOM", true, false, 0},
            {ioWMF, "Windows Metafile", "WMF", true, false, 0},
            {ioEMF, "Enhanced Windows Metafile", "EMF", true, false, 0},
            {ioTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", true, true, 0x0100},
            {ioPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", true, true, 0},
            {ioWBMP, "Wireless Bitmap", "WBMP", true, true, 0},
            {ioJP2, "JPEG2000", "JP2", true, true, 0x0200},
            {ioJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", true, true, 0x0200},
            {ioPS, "PostScript Level 2", "PS;EPS", false, true, 0},
            {ioPDF, "Adobe PDF", "PDF", false, true, 0},
            {ioDCX, "Multipage PCX", "DCX", true, true, 0},
            {ioRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", true, false, 0},
            {ioPSD, "Photoshop PSD", "PSD", true, true, 0},
            {ioIEV, "Vectorial objects", "IEV", true, true, 0},
            {ioLYR, "Layers", "LYR", true, true, 0},
            {ioALL, "Layers and objects", "ALL", true, true, 0},
        };
        std::vector<TIEFormatRow> rows;
        for (const Def& d : defs) {
            TIEFormatRow r;
            r.TypeCode = d.code;
            r.DisplayName = d.name;
            r.ExtensionList = d.exts;
            r.BuiltIn = true;
            r.DialogPages = d.pages;
            r.Readable = d.read;
            r.Writable = d.write;
            rows.push_back(r);
        }
        return rows;
    }();
    return table;
}

const TIEFormatRow* FormatByType(int32_t code) {
    for (const auto& r : FormatTable())
        if (r.TypeCode == code) return &r;
    return nullptr;
}

static std::vector<std::string> SplitExtensions(const std::string& list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) out.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

const TIEFormatRow* FormatByExtension(std::string extension) {
    extension = LowerCase(extension);
    if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
    if (extension.empty()) return nullptr;
    for (const auto& r : FormatTable())
        for (const auto& e : SplitExtensions(r.ExtensionList))
            if (LowerCase(e) == extension) return &r;
    return nullptr;
}

int ExtensionCount(int32_t code) {
    const TIEFormatRow* r = FormatByType(code);
    return r ? int(SplitExtensions(r->ExtensionList).size()) : 0;
}

std::string ExtensionAt(int32_t code, int index) {
    const TIEFormatRow* r = FormatByType(code);
    if (!r || index < 0) return {};
    auto list = SplitExtensions(r->ExtensionList);
    return size_t(index) < list.size() ? list[size_t(index)] : std::string();
}

void RegisterFormat(const TIEFormatRow& row) { FormatTable().push_back(row); }

void UnregisterFormat(int32_t code) {
    auto& t = FormatTable();
    auto it = std::find_if(t.begin(), t.end(), [code](const TIEFormatRow& r) { return r.TypeCode == code; });
    if (it != t.end()) t.erase(it);
}

} // namespace tw
