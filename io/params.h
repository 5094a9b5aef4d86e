// TIOParamsVals: the per-image parameter record that travels between the I/O component,
// the readers and the writers. Readers fill it with what they found in a file, writers
// take their options from it, and a parameters file can replace its members.
//
// Text members are 8-bit strings; "wide" texts (FileName) are UTF-8. The EXIF XP
// texts are kept as UTF-16, as the files store them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/errors.h"
#include "image/types.h"
#include "io/dicomtags.h"
#include "io/icc.h"
#include "io/iptc.h"
#include "io/lzwslots.h"
#include "io/makernote.h"
#include "io/markers.h"

namespace tw {

class TImageIO;
class TStream;

// The process-wide default resolution (dots per inch) used wherever a file gives none.
extern int32_t DefaultDpiX;
extern int32_t DefaultDpiY;

// Today's local date as days since 30 December 1899 (no time of day).
double IEToday();

// A parameters file that is damaged or truncated.
class EIEParamsFileError : public EReadError {
  public:
    using EReadError::EReadError;
};

// One requested icon image size.
struct TIEIcoImageSize {
    int32_t Width = 0;
    int32_t Height = 0;
    friend bool operator==(const TIEIcoImageSize&, const TIEIcoImageSize&) = default;
};

// Image annotations (TIFF tag 32932), kept as their raw bytes.
struct TIEImagingAnnot {
    std::vector<uint8_t> Data;
    bool Empty() const { return Data.empty(); }
    void Clear() { Data.clear(); }
    friend bool operator==(const TIEImagingAnnot&, const TIEImagingAnnot&) = default;
};

// The EXIF and GPS block. Default member values are the values after ResetExif.
// (ExifThumbnail lives in TIOParamsVals.)
struct TIOExifBlock {
    bool ExifPresent = false;                                   // an EXIF directory (34665) was found
    std::string ExifImageDescription;                           // 270
    std::string ExifMake, ExifModel;                            // 271, 272
    int32_t ExifOrientation = 0;                                // 274
    double ExifXResolution() const { return exifXResolution_; } // 282; set through TIOParamsVals
    double ExifYResolution() const { return exifYResolution_; } // 283
    int32_t ExifResolutionUnit = 0;                             // 296
    std::string ExifSoftware, ExifArtist, ExifDateTime;         // 305, 315, 306
    std::array<double, 2> ExifWhitePoint{};                     // 318
    std::array<double, 6> ExifPrimaryChromaticities{};          // 319
    std::array<double, 3> ExifYCbCrCoefficients{};              // 529
    int32_t ExifYCbCrPositioning = 0;                           // 531
    std::array<double, 6> ExifReferenceBlackWhite{};            // 532
    std::string ExifRights;                                     // 33432
    double ExifExposureTime = 0, ExifFNumber = 0;               // 33434, 33437
    int32_t ExifExposureProgram = 0;                            // 34850
    std::array<int32_t, 2> ExifISOSpeedRatings{};               // 34855 (first two values)
    std::string ExifExifVersion, ExifDateTimeOriginal, ExifDateTimeDigitized;     // 36864, 36867, 36868
    double ExifCompressedBitsPerPixel = 0;                                        // 37122
    double ExifShutterSpeedValue = 0;                                             // 37377
    double ExifApertureValue = 0;                                                 // 37378
    double ExifBrightnessValue = 0;                                               // 37379
    double ExifExposureBiasValue = 0;                                             // 37380
    double ExifMaxApertureValue = 0;                                              // 37381
    double ExifSubjectDistance = 0;                                               // 37382
    int32_t ExifMeteringMode = 0, ExifLightSource = 0, ExifFlash = 0;             // 37383, 37384, 37385
    double ExifFocalLength = 0;                                                   // 37386
    std::string ExifSubsecTime, ExifSubsecTimeOriginal, ExifSubsecTimeDigitized;  // 37520-37522
    std::string ExifFlashPixVersion;                                              // 40960
    int32_t ExifColorSpace = 0, ExifPixelXDimension = 0, ExifPixelYDimension = 0; // 40961-40963
    std::string ExifRelatedSoundFile;                                             // 40964
    double ExifFocalPlaneXResolution = 0, ExifFocalPlaneYResolution = 0;          // 41486, 41487
    int32_t ExifFocalPlaneResolutionUnit = 0;                                     // 41488
    double ExifExposureIndex = 0;                                                 // 41493
    int32_t ExifSensingMethod = 0, ExifFileSource = 0, ExifSceneType = 0;         // 41495, 41728, 41729
    // 37510: the first 8 characters go to ExifUserCommentCode, the rest to ExifUserComment.
    std::string ExifUserComment, ExifUserCommentCode;
    TIEMakerNote ExifMakerNote;                                                             // 37500
    std::u16string ExifXPTitle, ExifXPComment, ExifXPAuthor, ExifXPKeywords, ExifXPSubject; // 40091-40095
    int32_t ExifExposureMode = -1, ExifWhiteBalance = -1;                                   // 41986, 41987
    double ExifDigitalZoomRatio = -1.0;                                                     // 41988
    int32_t ExifFocalLengthIn35mmFilm = -1;                                                 // 41989
    int32_t ExifSceneCaptureType = -1;                                                      // 41990
    int32_t ExifGainControl = -1;                                                           // 41991
    int32_t ExifContrast = -1;                                                              // 41992
    int32_t ExifSaturation = -1;                                                            // 41993
    int32_t ExifSharpness = -1;                                                             // 41994
    int32_t ExifSubjectDistanceRange = -1;                                                  // 41996
    std::string ExifImageUniqueID;                                                          // 42016

    // GPS directory (tag numbers of the GPS IFD).
    std::string ExifGPSVersionID, ExifGPSLatitudeRef;                 // 0, 1
    std::array<double, 3> ExifGPSLatitude{};                          // 2
    std::string ExifGPSLongitudeRef;                                  // 3
    std::array<double, 3> ExifGPSLongitude{};                         // 4
    std::string ExifGPSAltitudeRef;                                   // 5, the number as decimal text
    double ExifGPSAltitude = 0;                                       // 6
    std::array<double, 3> ExifGPSTimeStamp{};                         // 7
    std::string ExifGPSSatellites, ExifGPSStatus, ExifGPSMeasureMode; // 8, 9, 10
    double ExifGPSDOP = 0;                                            // 11
    std::string ExifGPSSpeedRef;                                      // 12
    double ExifGPSSpeed = 0;                                          // 13
    std::string ExifGPSTrackRef;                                      // 14
    double ExifGPSTrack = 0;                                          // 15
    std::string ExifGPSImgDirectionRef;                               // 16
    double ExifGPSImgDirection = 0;                                   // 17
    std::string ExifGPSMapDatum, ExifGPSDestLatitudeRef;              // 18, 19
    std::array<double, 3> ExifGPSDestLatitude{};                      // 20
    std::string ExifGPSDestLongitudeRef;                              // 21
    std::array<double, 3> ExifGPSDestLongitude{};                     // 22
    std::string ExifGPSDestBearingRef;                                // 23
    double ExifGPSDestBearing = 0;                                    // 24
    std::string ExifGPSDestDistanceRef;                               // 25
    double ExifGPSDestDistance = 0;                                   // 26
    std::string ExifGPSDateStamp;                                     // 29

    friend bool operator==(const TIOExifBlock&, const TIOExifBlock&) = default;

  protected:
    // Coupled with DpiX / DpiY (see TIOParamsVals::SetExifXResolution).
    double exifXResolution_ = 0;
    double exifYResolution_ = 0;
};

// Every member of the record that is copied by Assign, with its value after Reset as the
// default member value. Members whose reset value is decided at run time (Width, Height,
// the resolution, TgaDate and the LZW procedure slots) are set by TIOParamsVals::Reset.
struct TIOParamsFields : TIOExifBlock {
    // ---- general ---------------------------------------------------------------------
    int32_t BitsPerSample = 8;   // bits per sample as stored in the file
    int32_t SamplesPerPixel = 3; // samples per pixel as stored in the file
    int32_t Width = 0, Height = 0;
    int32_t DpiX() const { return dpiX_; } // set through TIOParamsVals::SetDpiX
    int32_t DpiY() const { return dpiY_; }
    std::string FileName;       // last file loaded or saved (UTF-8)
    int32_t FileType = 0;       // file type code of the last file loaded or saved
    std::vector<TRGB> ColorMap; // palette of the image as stored in the file
    int32_t ColorMapCount() const { return int32_t(ColorMap.size()); }
    bool NativePixelFormat = false; // readers keep the file's own pixel format
    std::string XmpPacket;

    // ---- multi-image (set the groups through SetImageIndex / SetImageCount) --------------
    int32_t ImageIndex = 0;
    int32_t TiffImageIndex = 0, GifImageIndex = 0, DcxImageIndex = 0, IcoImageIndex = 0, CurImageIndex = 0;
    int32_t ImageCount = 0, TiffImageCount = 0, GifImageCount = 0, VideoFrameCount = 0, MediaFrameCount = 0;
    int32_t VideoFrameDelay = 0;
    int32_t MediaFrameValue = 0;
    bool ReadThumbnail = false; // set together with JpegLoadExifThumbnail (SetReadThumbnail)
    bool SpareFlag = false;

    // ---- TIFF ----------------------------------------------------------------------------
    uint8_t TiffCompression = 0;
    int32_t TiffSubIndex = -1; // sub-image (tag 330) to read; -1 the main image
    uint8_t TiffPhotometric = 2;
    int32_t TiffPlanarConfig = 1;
    int32_t TiffXPos = 0, TiffYPos = 0;                               // tags 286, 287
    std::string TiffDocumentName, TiffImageDescription, TiffPageName; // tags 269, 270, 285
    int32_t TiffPageNumber = -1, TiffPageCount = -1;                  // tag 297
    int32_t TiffOrientation = 1; // set together with ExifOrientation (SetTiffOrientation)
    bool TiffAutoRotate = false;
    int32_t TiffJpegQuality = 80;
    uint8_t TiffJpegColorSpace = 2;
    int32_t TiffFillOrder = 1;
    bool TiffLittleEndian = true;
    int32_t TiffZipCompression = 1; // 0 fastest, 1 the library's default level, 2 best
    TTiffLzwDecompressor TiffLzwDecompressor = nullptr;
    TTiffLzwCompressor TiffLzwCompressor = nullptr;

    // ---- GIF -----------------------------------------------------------------------------
    std::string GifVersion = "GIF89a";
    int32_t GifXPos = 0, GifYPos = 0;
    int32_t GifDelayTime = 0;
    bool GifHasTransparency = false;
    TRGB GifTransparentColor{};
    bool GifInterlaced = false;
    int32_t GifScreenWidth = 0, GifScreenHeight = 0;
    TRGB GifBackground{};
    int32_t GifAspectByte = 0;
    std::vector<std::string> GifComments;
    uint8_t GifDisposal = 2;
    TGifLzwDecompressor GifLzwDecompressor = nullptr;
    TGifLzwCompressor GifLzwCompressor = nullptr;

    // ---- JPEG ----------------------------------------------------------------------------
    uint8_t JpegColorSpace = 2; // 0 RGB, 1 gray, 2 YCbCr, 3 CMYK, 4 YCCK
    int32_t JpegQuality = 80;
    uint8_t JpegDCTMethod = 1; // 0 integer slow, 1 integer fast, 2 floating point
    bool JpegOptimizeCoding = false;
    int32_t JpegSmoothing = 0;
    bool JpegProgressive = false;
    uint8_t JpegScale = 1; // 0 automatic, 1 full, 2 half, 3 quarter, 4 eighth
    TIEMarkerList JpegMarkerList;
    int32_t JpegScaleUsed = 1;
    int32_t JpegWarningCount = 0, JpegLastWarning = 0;
    int32_t JpegOriginalWidth = 0, JpegOriginalHeight = 0;
    bool JpegAutoRotate = false;
    bool JpegLoadExifThumbnail = false;

    // ---- JPEG 2000, PCX, BMP -------------------------------------------------------------
    uint8_t Jp2ColorSpace = 1;
    double Jp2Rate = 1.0;
    uint8_t Jp2ScalableBy = 0;
    int32_t PcxVersion = 5;
    uint8_t PcxCompression = 1;
    uint8_t BmpVersion = 1;
    uint8_t BmpCompression = 0;
    bool BmpUseAlpha = false;

    // ---- ICO and CUR ---------------------------------------------------------------------
    TRGB IcoBackground{255, 255, 255};
    // Images to write: the leading entries whose width is above 0.
    std::array<TIEIcoImageSize, 16> IcoImageSizes{{{64, 64}}};
    std::array<int32_t, 16> IcoImageDepths{{8}};
    int32_t CurHotSpotX = 0, CurHotSpotY = 0;
    TRGB CurBackground{255, 255, 255};

    // ---- PNG -----------------------------------------------------------------------------
    bool PngInterlaced = false;
    TRGB PngBackground{};
    uint8_t PngFilter = 0;
    int32_t PngCompression = 5;
    std::vector<std::string> PngTextKeys, PngTextValues; // pairs by index

    // ---- Targa ---------------------------------------------------------------------------
    int32_t TgaXPos = 0, TgaYPos = 0;
    bool TgaCompressed = true;
    std::string TgaDescription, TgaAuthor, TgaImageName;
    double TgaDate = 0; // days since 30 December 1899; today at Reset
    TRGB TgaBackground{};
    double TgaAspectRatio = 1.0;
    double TgaGamma = 2.2;
    bool TgaGrayscale = false;

    // ---- PNM, PSD, DICOM -----------------------------------------------------------------
    std::vector<std::string> PnmComments;
    bool PsdReadLayers = false;
    bool PsdLayerOption = true;
    bool PsdSpareFlag = false;
    TIEDicomTags DicomTags;

    // ---- metadata lists and profiles -----------------------------------------------------
    TIEIPTCInfoList IptcInfo;
    TIEImagingAnnot ImagingAnnot;
    TIEICC InputIccProfile;   // the profile embedded in the file read
    TIEICC OutputIccProfile;  // kept for the parameters file
    TIEICC DefaultIccProfile; // kept for the parameters file

    // ---- PostScript and PDF writers (kept for the parameters file) ------------------------
    int32_t PsPaperWidth = 595, PsPaperHeight = 842;
    uint8_t PsCompression = 1;
    std::string PsTitle = "No Title";
    int32_t PdfPaperWidth = 595, PdfPaperHeight = 842;
    uint8_t PdfCompression = 2;
    std::string PdfTitle, PdfAuthor, PdfSubject, PdfKeywords, PdfCreator, PdfProducer;

    // ---- camera RAW options (kept for the parameters file) --------------------------------
    bool RawOption1 = false;
    double RawOption2 = 0.6, RawOption3 = 1.0, RawOption4 = 1.0, RawOption5 = 1.0;
    bool RawOption6 = true, RawOption7 = false, RawOption8 = false, RawOption9 = false;
    std::string RawOption10;
    bool RawOption11 = false, RawOption12 = false;
    std::string RawOption13;
    bool RawOption14 = false, RawOption15 = false;
    int32_t RawOption16 = 8, RawOption17 = 0;

    friend bool operator==(const TIOParamsFields&, const TIOParamsFields&) = default;

  protected:
    friend struct TIOParamsFileLayout;
    // Coupled with ExifXResolution / ExifYResolution (see TIOParamsVals::SetDpiX).
    int32_t dpiX_ = 300;
    int32_t dpiY_ = 300;
};

// What the record asks of the I/O component that owns it. Both hooks are optional.
struct TIOParamsOwnerLink {
    // Gives the owner's image size and returns true when it holds a device-bitmap image;
    // Reset then takes that size as Width and Height.
    std::function<bool(int32_t& width, int32_t& height)> ImageSize;
    // Called when SetDpiX, SetDpiY, SetExifXResolution or SetExifYResolution changed the
    // resolution, with the new DpiX and DpiY (an attached host takes them).
    std::function<void(int32_t dpiX, int32_t dpiY)> DpiChanged;
};

class TIOParamsVals : public TIOParamsFields {
  public:
    // The highest parameters-file version this record reads, and the one it writes.
    static constexpr int32_t ParamsFileVersion = 38;

    explicit TIOParamsVals(TImageIO* owner = nullptr);
    ~TIOParamsVals();
    TIOParamsVals(const TIOParamsVals&) = delete;
    TIOParamsVals& operator=(const TIOParamsVals&) = delete;

    TImageIO* Owner = nullptr;                // not copied, not stored
    TIOParamsOwnerLink OwnerLink;             // not copied, not stored
    std::unique_ptr<TIEBitmap> ExifThumbnail; // the EXIF thumbnail; none after a reset

    // Every member to its after-reset value; frees the thumbnail and the profiles and
    // empties every list.
    void Reset();
    // Clears what describes one particular file, keeping every writer option.
    void ResetInfo();
    // The EXIF and GPS block to its reset values; frees ExifThumbnail and removes the first
    // APP1 "Exif" entry of JpegMarkerList.
    void ResetExif();
    // Deep copy of every member except Owner, OwnerLink, NativePixelFormat,
    // MediaFrameCount and MediaFrameValue; the six image indexes all become the source's
    // CurImageIndex.
    void Assign(const TIOParamsVals& source);

    // Group setters.
    void SetImageIndex(int32_t value); // the six image-index members
    void SetImageCount(int32_t value); // the five image-count members

    // Coupled setters: DpiX <-> ExifXResolution, DpiY <-> ExifYResolution.
    void SetDpiX(int32_t value);
    void SetDpiY(int32_t value);
    void SetExifXResolution(double value); // DpiX becomes its truncated value
    void SetExifYResolution(double value);
    // TiffOrientation and ExifOrientation together.
    void SetTiffOrientation(int32_t value);
    // ReadThumbnail and JpegLoadExifThumbnail together.
    void SetReadThumbnail(bool value);

    // Parameters file. The reader replaces the members the file carries, storing each
    // one by itself (no coupling); a damaged or truncated file raises EIEParamsFileError
    // and leaves the record unchanged. The writer writes version 38.
    void LoadFromFile(const std::string& fileName);
    void LoadFromStream(TStream& stream);
    void SaveToFile(const std::string& fileName) const;
    void SaveToStream(TStream& stream) const;

  private:
    void NotifyDpi();
};

} // namespace tw
