// TImageIO: turns files into the image held by a bitmap and back. Loading detects the
// format from the content (the extension is the fall-back); saving picks the writer
// from the extension of the target name.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "image/bitmap.h"
#include "image/mask.h"
#include "io/formats.h"
#include "io/params.h"
#include "io/progress.h"
#include "io/stream.h"

namespace tw {

// What the I/O component needs from the image host it may be attached to.
class TIEImageHostLink {
  public:
    virtual ~TIEImageHostLink() = default;
    virtual TIEBitmap& HostBitmap() = 0;
    virtual TColor HostBackground() = 0;
    virtual void SetHostResolution(int dpiX, int dpiY) = 0;
    virtual void HostImageChanged() = 0;
};

class TImageIO {
  public:
    // Standalone component with a bitmap of its own, or attached to a host and
    // working on the host's bitmap.
    explicit TImageIO(TIEImageHostLink* host = nullptr);
    ~TImageIO();
    TImageIO(const TImageIO&) = delete;
    TImageIO& operator=(const TImageIO&) = delete;

    TIEBitmap& Bitmap() { return *bitmap_; }
    TIOParamsVals Params{this};

    // Outcome of the last operation: true = not done or not completed.
    bool Aborted = false;
    // Why the last operation was not completed (empty when no reason was given).
    std::string AbortReason;

    TColor Background();
    void SetBackground(TColor c);
    bool AutoAdjustDPI = false;
    bool FilteredAdjustDPI = false;
    std::function<void(void* sender, int percent)> OnProgress;
    std::function<void(void* sender)> OnFinishWork;

    void LoadFromFile(const std::string& fileName);
    void LoadFromFileAsType(const std::string& fileName, int32_t fileType);
    void LoadFromFileByExtension(const std::string& fileName);
    void LoadFromStream(TStream& stream);
    void SaveToFile(const std::string& fileName);

    // The file type code SaveToFile uses for a name (0 when no writer group names it).
    static int32_t SaveFormatOf(const std::string& fileName);

  private:
    struct LoadOp;
    void BuiltinLoad(const std::string& fileName, TStream* stream, int32_t code);
    void RegisteredLoad(const std::string& fileName, const TIEFormatRow& row);
    void RegisteredSave(const std::string& fileName, const TIEFormatRow& row);
    void BuiltinSave(const std::string& fileName, int32_t code);
    void WriteSafely(const std::string& fileName, int32_t code, const std::string& formatName,
                     const std::function<void(TStream&, TIEProgressRecord&)>& write);
    void FillProgress(TIEProgressRecord& rec);
    void Fail(const std::string& reason);
    void Finish();
    void AdjustDpi();

    TIEImageHostLink* host_ = nullptr;
    std::unique_ptr<TIEBitmap> ownBitmap_;
    TIEBitmap* bitmap_ = nullptr;
    TColor background_ = clBlack;
};

} // namespace tw
