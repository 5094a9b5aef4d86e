// JpegReadStream and JpegWriteStream: the parameter record mapped onto the decoding
// and encoding cores, and the metadata kept in the record (markers, ICC, IPTC, XMP).
#include "codecs/jpeg.h"

#include <algorithm>
#include <cstring>

#include "codecs/jpeg_decode.h"
#include "codecs/jpeg_encode.h"
#include "io/params.h"

namespace tw {

namespace {

// Resolution from the JFIF density: unit 0 (aspect ratio only) and 1 (per inch) as
// they stand, unit 2 (per centimetre) converted; other units leave it alone.
void TakeDensity(const TJpegDecodeResult& r, TIOParamsVals& params) {
    switch (r.DensityUnit) {
    case 0:
    case 1:
        params.SetDpiX(r.XDensity);
        params.SetDpiY(r.YDensity);
        break;
    case 2:
        params.SetDpiX(int32_t(r.XDensity * 2.54));
        params.SetDpiY(int32_t(r.YDensity * 2.54));
        break;
    default: break;
    }
}

void TakeIptc(TIOParamsVals& params) {
    const TIEMarkerList& list = params.JpegMarkerList;
    for (int i = 0; i < list.Count(); ++i) {
        if (list.Code(i) != ieMarkerAPP13) continue;
        const std::vector<uint8_t>& data = list.Data(i);
        if (params.IptcInfo.LoadFromBuffer(data.data(), data.size())) break;
    }
}

int IndexOfXmp(const TIEMarkerList& list) {
    for (int i = 0; i < list.Count(); ++i)
        if (list.Code(i) == ieMarkerAPP1 && JpegIsXmpPayload(list.Data(i))) return i;
    return -1;
}

void TakeXmp(TIOParamsVals& params) {
    int i = IndexOfXmp(params.JpegMarkerList);
    if (i < 0) return;
    const std::vector<uint8_t>& data = params.JpegMarkerList.Data(i);
    auto zero = std::find(data.begin(), data.end(), uint8_t(0));
    if (zero == data.end()) return;
    params.XmpPacket.assign(zero + 1, data.end());
}

} // namespace

void JpegReadIccProfile(TStream& stream, TIOParamsVals& params) {
    std::vector<uint8_t> profile = JpegCollectIccProfile(stream);
    if (!profile.empty()) params.InputIccProfile.LoadFromBuffer(std::move(profile));
}

int32_t JpegReadStream(TStream& stream, TStream* tablesStream, TIEBitmap& bitmap, bool nativeFormat,
                       int32_t maxRows, bool readIcc, bool invertCmyk, bool readMetadata, bool rawYCbCr,
                       bool paramsOnly, TIEProgressRecord& progress, TIOParamsVals& params) {
    params.JpegWarningCount = 0;
    params.JpegLastWarning = 0;
    const int64_t start = JpegFindStart(stream);
    if (start < 0) {
        progress.Abort("JPEG: no start-of-image marker within the first 100 bytes");
        return 0;
    }
    stream.SetPosition(start);
    if (readIcc) JpegReadIccProfile(stream, params);

    TJpegDecodeOptions o;
    o.NativeFormat = nativeFormat;
    o.MaxRows = maxRows;
    o.InvertCmyk = invertCmyk;
    o.RawYCbCr = rawYCbCr;
    o.ParamsOnly = paramsOnly;
    o.DCTMethod = params.JpegDCTMethod;
    o.Scale = params.JpegScale;
    o.RequestWidth = params.Width;
    o.RequestHeight = params.Height;
    o.Params = &params;
    TJpegDecodeResult r;
    JpegDecode(stream, tablesStream, bitmap, o, progress, r);

    if (r.HeaderRead) {
        params.BitsPerSample = 8;
        if (r.ColorSpace >= 0) {
            params.JpegColorSpace = uint8_t(r.ColorSpace);
            params.SamplesPerPixel = r.SamplesPerPixel;
        }
        TakeDensity(r, params);
        params.ColorMap.clear();
        params.JpegProgressive = r.Progressive;
        params.JpegOriginalWidth = r.OriginalWidth;
        params.JpegOriginalHeight = r.OriginalHeight;
        params.JpegScaleUsed = r.ScaleUsed;
        if (r.Width > 0 && r.Height > 0) {
            params.Width = r.Width;
            params.Height = r.Height;
        }
    }
    params.JpegMarkerList.Clear();
    for (TJpegSegment& s : r.Markers) params.JpegMarkerList.Add(s.Code, std::move(s.Data));
    if (r.WarningCount > 0) {
        params.JpegWarningCount = r.WarningCount;
        params.JpegLastWarning = r.LastWarning;
    }
    if (readMetadata) {
        TakeIptc(params);
        TakeXmp(params);
    }
    return r.Rows;
}

void JpegPrepareMarkers(TIOParamsVals& params) {
    TIEMarkerList& list = params.JpegMarkerList;
    // IPTC records as the Photoshop resource block of APP13.
    if (params.IptcInfo.UserChanged || (params.IptcInfo.Count() > 0 && list.Empty())) {
        std::vector<uint8_t> payload = params.IptcInfo.SaveToBuffer(true);
        int i = list.IndexOf(ieMarkerAPP13);
        if (!payload.empty()) {
            if (i >= 0) list.Replace(i, ieMarkerAPP13, std::move(payload));
            else list.Add(ieMarkerAPP13, std::move(payload));
        } else if (i >= 0) {
            list.Delete(i);
        }
    }
    // The XMP packet behind the namespace identifier, as the last APP1 entry.
    if (!params.XmpPacket.empty()) {
        std::vector<uint8_t> payload(JpegXmpNamespace, JpegXmpNamespace + JpegXmpNamespaceSize);
        payload.insert(payload.end(), params.XmpPacket.begin(), params.XmpPacket.end());
        list.Delete(IndexOfXmp(list));
        list.Add(ieMarkerAPP1, std::move(payload));
    }
}

void JpegWriteStream(TStream& stream, TIEBitmap& bitmap, TIOParamsVals& params, TIEProgressRecord& progress) {
    bool localFlag = false;
    bool* flag = progress.AbortFlag ? progress.AbortFlag : &localFlag;
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        *flag = true;
        progress.Abort("JPEG: an empty image cannot be saved");
        return;
    }
    TIEBitmap* source = &bitmap;
    std::unique_ptr<TIEBitmap> converted;
    if (bitmap.PixelFormat() != ie24RGB) {
        converted = std::make_unique<TIEBitmap>();
        converted->AssignImage(bitmap);
        converted->SetPixelFormat(ie24RGB);
        if (converted->PixelFormat() != ie24RGB || converted->Width() != bitmap.Width() ||
            converted->Height() != bitmap.Height()) {
            *flag = true;
            progress.Abort("JPEG: the image could not be converted to 24 bits per pixel");
            return;
        }
        source = converted.get();
    }

    TJpegEncodeOptions o;
    o.ColorSpace = params.JpegColorSpace;
    o.Quality = params.JpegQuality;
    o.DCTMethod = params.JpegDCTMethod;
    o.OptimizeCoding = params.JpegOptimizeCoding;
    o.Smoothing = params.JpegSmoothing;
    o.Progressive = params.JpegProgressive;
    o.DpiX = params.DpiX() == 0 ? DefaultDpiX : params.DpiX();
    o.DpiY = params.DpiY() == 0 ? DefaultDpiY : params.DpiY();
    o.Params = &params;
    params.JpegMarkerList.Sort();
    for (const TIEMarker& m : params.JpegMarkerList.Items()) o.Markers.push_back({m.Code, m.Data.data(), m.Data.size()});
    JpegEncode(stream, *source, o, progress);
}

} // namespace tw
