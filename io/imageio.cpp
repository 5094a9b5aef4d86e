#include "io/imageio.h"

#include <cmath>

#include "image/errors.h"
#include "io/builtin.h"
#include "io/safefile.h"

namespace tw {

namespace {

// Runs a function when the scope ends, however it ends.
template <class F> class TOnExit {
  public:
    explicit TOnExit(F f) : f_(std::move(f)) {}
    ~TOnExit() { f_(); }
    TOnExit(const TOnExit&) = delete;
    TOnExit& operator=(const TOnExit&) = delete;

  private:
    F f_;
};

} // namespace

TImageIO::TImageIO(TIEImageHostLink* host) : host_(host) {
    if (host_) {
        bitmap_ = &host_->HostBitmap();
    } else {
        ownBitmap_ = std::make_unique<TIEBitmap>();
        bitmap_ = ownBitmap_.get();
    }
    Params.OwnerLink.DpiChanged = [this](int32_t dx, int32_t dy) {
        if (host_) host_->SetHostResolution(dx, dy);
    };
    Params.OwnerLink.ImageSize = [this](int32_t& w, int32_t& h) {
        if (!host_ || bitmap_->Location() != ieTBitmap) return false;
        w = bitmap_->Width();
        h = bitmap_->Height();
        return true;
    };
}

TImageIO::~TImageIO() = default;

TColor TImageIO::Background() { return host_ ? host_->HostBackground() : background_; }

void TImageIO::SetBackground(TColor c) {
    if (!host_) background_ = c;
}

void TImageIO::FillProgress(TIEProgressRecord& rec) {
    rec = TIEProgressRecord{};
    rec.Handler = [this](void*, int percent) {
        if (OnProgress) OnProgress(this, percent);
    };
    rec.Sender = this;
    rec.AbortFlag = &Aborted;
    rec.AbortReason = &AbortReason;
}

void TImageIO::Fail(const std::string& reason) {
    Aborted = true;
    if (AbortReason.empty()) AbortReason = reason;
}

void TImageIO::Finish() {
    if (OnProgress) OnProgress(this, 100);
    if (OnFinishWork) OnFinishWork(this);
}

static std::string FormatName(int32_t code) {
    const TIEFormatRow* row = FormatByType(code);
    return row ? row->DisplayName : "type " + std::to_string(code);
}

// ---- loading ------------------------------------------------------------------------

void TImageIO::LoadFromFile(const std::string& fileName) {
    int32_t code = DetectFileType(fileName, false);
    if (code != ioUnknown) LoadFromFileAsType(fileName, code);
    else LoadFromFileByExtension(fileName);
}

void TImageIO::LoadFromFileAsType(const std::string& fileName, int32_t fileType) {
    const TIEFormatRow* row = FormatByType(fileType);
    AbortReason.clear();
    if (!row) return;
    if (!row->BuiltIn) {
        RegisteredLoad(fileName, *row);
        return;
    }
    if (fileType == ioPS || fileType == ioPDF) {
        LoadFromFileByExtension(fileName);
        return;
    }
    BuiltinLoad(fileName, nullptr, fileType);
}

void TImageIO::LoadFromFileByExtension(const std::string& fileName) {
    AbortReason.clear();
    if (fileName.empty()) {
        Fail("no file name");
        Finish();
        return;
    }
    std::string ext = LowerCase(ExtractFileExt(fileName));
    const TIEFormatRow* row = FormatByExtension(ext);
    if (!row) {
        Fail("the file's content is not a known image format");
        Finish();
        return;
    }
    if (row->BuiltIn) {
        BuiltinLoad(fileName, nullptr, row->TypeCode);
        return;
    }
    if (!row->ReaderProc) {
        Fail("no reader for " + row->DisplayName + " files");
        Finish();
        return;
    }
    RegisteredLoad(fileName, *row);
}

void TImageIO::LoadFromStream(TStream& stream) {
    AbortReason.clear();
    Params.FileName.clear();
    int32_t code = DetectStreamType(stream);
    const TIEFormatRow* row = FormatByType(code);
    if (!row) {
        Fail("the stream's content is not a known image format");
        Finish();
        return;
    }
    if (!row->BuiltIn) {
        Aborted = true;
        Params.ResetInfo();
        TIEProgressRecord rec;
        Aborted = false;
        FillProgress(rec);
        try {
            row->ReaderProc(stream, *bitmap_, Params, rec, false);
        } catch (...) {
            Aborted = true;
        }
        Finish();
        return;
    }
    BuiltinLoad({}, &stream, code);
}

void TImageIO::BuiltinLoad(const std::string& fileName, TStream* stream, int32_t code) {
    Aborted = true;
    const TIEBuiltinFormat* op = BuiltinFormat(code);
    if (!op || !op->Read) {
        Fail("no reader for " + FormatName(code) + " files");
        Finish();
        return;
    }
    if (!bitmap_) {
        Finish();
        return;
    }
    TOnExit finish([this] { Finish(); });

    Params.ResetInfo();
    std::unique_ptr<TIEWideFileStream> file;
    if (!stream) {
        file = std::make_unique<TIEWideFileStream>(fileName, fmOpenReadShared);
        stream = file.get();
    }
    std::unique_ptr<TIEBufferedReadStream> buffered;
    if (op->ReadBuffer > 0) {
        buffered = std::make_unique<TIEBufferedReadStream>(*stream, op->RelativeBuffer, op->ReadBuffer);
        stream = buffered.get();
    }
    Aborted = false;
    TIEProgressRecord rec;
    FillProgress(rec);
    bitmap_->RemoveAlphaChannel(false, clWhite);

    std::unique_ptr<TIEMask> mask = op->Read(*this, *stream, rec);

    if (op->ResolutionFix) {
        if (Params.DpiX() < 2) Params.SetDpiX(DefaultDpiX);
        if (Params.DpiY() < 2) Params.SetDpiY(DefaultDpiY);
    }
    if (mask) {
        if (TIEBitmap* alpha = bitmap_->AlphaChannel()) alpha->CopyFromMask(mask.get());
        mask.reset();
    }
    if (op->AutoAdjust && AutoAdjustDPI) AdjustDpi();
    if (host_ && op->HostTakesResolution) host_->SetHostResolution(Params.DpiX(), Params.DpiY());
    Params.FileName = fileName;
    Params.FileType = code;
    if (host_) host_->HostImageChanged();
}

void TImageIO::RegisteredLoad(const std::string& fileName, const TIEFormatRow& row) {
    Params.FileName.clear();
    Params.FileType = 0;
    Params.ResetInfo();
    Aborted = true;
    if (!bitmap_) {
        Finish();
        return;
    }
    {
        TIEWideFileStream file(fileName, fmOpenReadShared);
        Aborted = false;
        TIEProgressRecord rec;
        FillProgress(rec);
        Params.FileName = fileName;
        Params.FileType = row.TypeCode;
        try {
            row.ReaderProc(file, *bitmap_, Params, rec, false);
        } catch (...) {
            Aborted = true;
        }
        if (!Aborted) {
            if (AutoAdjustDPI) AdjustDpi();
            if (host_) host_->SetHostResolution(Params.DpiX(), Params.DpiY());
        }
        if (host_) host_->HostImageChanged();
    }
    Finish();
}

// ---- saving -------------------------------------------------------------------------

int32_t TImageIO::SaveFormatOf(const std::string& fileName) {
    struct Group {
        const char* exts;
        int32_t code;
    };
    static const Group groups[] = {
        {".jpg.jpeg.jpe.jif.", ioJPEG}, {".jp2.", ioJP2},   {".j2k.jpc.j2c.", ioJ2K},
        {".pcx.", ioPCX},               {".dcx.", ioDCX},   {".gif.", ioGIF},
        {".tif.tiff.fax.g3f.g3n.", ioTIFF}, {".png.", ioPNG}, {".bmp.dib.rle.", ioBMP},
        {".tga.targa.vda.icb.vst.win.", ioTGA}, {".pxm.pbm.pgm.ppm.", ioPXM}, {".ico.", ioICO},
        {".wbmp.", ioWBMP},             {".ps.eps.", ioPS}, {".pdf.", ioPDF},
        {".psd.", ioPSD},
    };
    std::string ext = LowerCase(ExtractFileExt(fileName));
    if (ext.size() < 2) return ioUnknown;
    std::string key = ext + ".";
    for (const Group& g : groups)
        if (std::string(g.exts).find(key) != std::string::npos) return g.code;
    return ioUnknown;
}

void TImageIO::SaveToFile(const std::string& fileName) {
    if (fileName.empty()) return;
    AbortReason.clear();
    int32_t code = SaveFormatOf(fileName);
    if (code != ioUnknown) {
        BuiltinSave(fileName, code);
        return;
    }
    const TIEFormatRow* row = FormatByExtension(ExtractFileExt(fileName));
    if (row && !row->BuiltIn && row->WriterProc) {
        RegisteredSave(fileName, *row);
        return;
    }
    Fail("no writer for the extension \"" + ExtractFileExt(fileName) + "\"");
    Finish();
}

void TImageIO::BuiltinSave(const std::string& fileName, int32_t code) {
    Aborted = true;
    TOnExit finish([this] { Finish(); });
    if (!bitmap_) return;
    const TIEBuiltinFormat* op = BuiltinFormat(code);
    if (!op || !op->Write) {
        Fail("no writer for " + FormatName(code) + " files");
        return;
    }
    TIEPixelFormat pf = bitmap_->PixelFormat();
    if (op->ConvertTo24 && pf != ie24RGB && pf != ie1g && !(op->KeepRGB48 && pf == ieRGB48))
        bitmap_->SetPixelFormat(ie24RGB);
    if (bitmap_->Width() == 0 || bitmap_->Height() == 0) {
        Fail("the image is empty");
        return;
    }
    WriteSafely(fileName, code, FormatName(code), [&](TStream& stream, TIEProgressRecord& rec) {
        if (op->PrepareSave) op->PrepareSave(*this);
        op->Write(*this, stream, rec);
    });
}

void TImageIO::RegisteredSave(const std::string& fileName, const TIEFormatRow& row) {
    Aborted = true;
    TOnExit finish([this] { Finish(); });
    if (!bitmap_) return;
    TIEPixelFormat pf = bitmap_->PixelFormat();
    if (pf != ie24RGB && pf != ie1g) bitmap_->SetPixelFormat(ie24RGB);
    WriteSafely(fileName, row.TypeCode, row.DisplayName, [&](TStream& stream, TIEProgressRecord& rec) {
        row.WriterProc(stream, *bitmap_, Params, rec);
    });
}

// Writes through a temporary file beside the target; only a complete write replaces it.
void TImageIO::WriteSafely(const std::string& fileName, int32_t code, const std::string& formatName,
                           const std::function<void(TStream&, TIEProgressRecord&)>& write) {
    TIESafeFileWriter out(fileName);
    Aborted = false;
    TIEProgressRecord rec;
    FillProgress(rec);
    write(out.Stream(), rec);
    Params.FileName = fileName;
    Params.FileType = code;
    if (Aborted) {
        Fail("the " + formatName + " writer did not complete");
        return; // the temporary file goes away; the target is untouched
    }
    out.Commit();
}

} // namespace tw
