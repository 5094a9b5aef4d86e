#include "image/bitmap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "image/errors.h"

namespace tw {

const char* PixelFormatName(TIEPixelFormat f) {
    static const char* names[ieFormatCount] = {"ieNone", "ie1g",    "ie8p",    "ie8g",     "ie16g", "ie24RGB",
                                               "ie32f",  "ieCMYK", "ieRGB48", "ieCIELab", "ie32RGB"};
    return f < ieFormatCount ? names[f] : "unknown";
}

int64_t MemoryThresholdFor(uint64_t physicalMemory) {
    if (physicalMemory == 0) return 33554432;
    return int64_t(double(physicalMemory) / 1.3);
}

int64_t DefaultMemoryThreshold() {
    static const int64_t threshold = [] {
        long pages = sysconf(_SC_PHYS_PAGES);
        long pageSize = sysconf(_SC_PAGESIZE);
        uint64_t total = (pages > 0 && pageSize > 0) ? uint64_t(pages) * uint64_t(pageSize) : 0;
        return MemoryThresholdFor(total);
    }();
    return threshold;
}

// ---- TIEBitmap ------------------------------------------------------------------

TIEBitmap::TIEBitmap() : MemoryThreshold(DefaultMemoryThreshold()), fileBuffer_(std::make_unique<TIEFileBuffer>()) {}

TIEBitmap::TIEBitmap(int width, int height, TIEPixelFormat format) : TIEBitmap() {
    Allocate(width, height, format);
}

TIEBitmap::~TIEBitmap() { FreeImage(true); }

std::unique_ptr<TIEBitmap> TIEBitmap::NewAlpha() {
    auto a = std::make_unique<TIEBitmap>();
    a->isAlpha_ = true;
    return a;
}

static int64_t RowLengthFor(int width, int bitsPerPixel, int alignment) {
    if (alignment <= 0) alignment = 32;
    int64_t bits = int64_t(width) * bitsPerPixel;
    return ((bits + alignment - 1) / alignment) * (alignment / 8);
}

void TIEBitmap::ComputeDerived() {
    bitsPerPixel_ = BitsPerPixelOf(format_);
    channelCount_ = ChannelCountOf(format_);
    int64_t rl = RowLengthFor(width_, bitsPerPixel_, location_ == ieTBitmap ? 32 : rowAlignment_);
    rowLength_ = rl > INT32_MAX ? 0 : int(rl);
    if (format_ == ie8p) {
        if (palette_.size() != 256) palette_.assign(256, TRGB{});
        paletteLength_ = 256;
    } else {
        palette_.clear();
        paletteLength_ = 0;
    }
}

void TIEBitmap::Sync() {
    if (location_ != ieTBitmap || !device_ || device_->Version() == deviceVersion_) return;
    deviceVersion_ = device_->Version();
    TIEPixelFormat f;
    switch (device_->Depth()) {
    case 1: f = ie1g; break;
    case 8: f = (isAlpha_ || device_->IsGrayRamp()) ? ie8g : ie8p; break;
    case 32: f = ie32RGB; break;
    default: f = ie24RGB; break;
    }
    if (device_->Width() != width_ || device_->Height() != height_ || f != format_) {
        width_ = device_->Width();
        height_ = device_->Height();
        format_ = f;
        ComputeDerived();
        if (alpha_ && (alpha_->Width() != width_ || alpha_->Height() != height_))
            alpha_->Allocate(width_, height_, ie8g);
    }
    RebuildRowTable();
    if (format_ == ie8p) {
        for (int i = 0; i < std::min(256, device_->ColorCount()); ++i) palette_[size_t(i)] = device_->Color(i);
    }
}

void TIEBitmap::RebuildRowTable() {
    rowTable_.clear();
    if (!device_) return;
    int h = device_->Height();
    if (device_->Width() <= 0 || h <= 0) return;
    rowTable_.resize(size_t(h));
    for (int y = 0; y < h; ++y) rowTable_[size_t(y)] = device_->Row(y);
}

int TIEBitmap::Width() { Sync(); return width_; }
int TIEBitmap::Height() { Sync(); return height_; }
TIEPixelFormat TIEBitmap::PixelFormat() { Sync(); return format_; }
int TIEBitmap::BitsPerPixel() { Sync(); return bitsPerPixel_; }
int TIEBitmap::ChannelCount() { Sync(); return channelCount_; }
int TIEBitmap::RowLength() { Sync(); return rowLength_; }

bool TIEBitmap::IsEmpty() {
    Sync();
    return width_ == 0 || height_ == 0 || rowLength_ == 0 || bitsPerPixel_ == 0;
}

void TIEBitmap::ReleaseViews() {
    if (fileBuffer_) fileBuffer_->ReleaseAllViews();
    currentView_ = nullptr;
    keptViews_.clear();
    keptRows_.clear();
}

void TIEBitmap::FreeDevice() {
    if (!deviceNotOwned_) {
        ownedDevice_.reset();
        device_ = nullptr;
    }
    rowTable_.clear();
}

void TIEBitmap::FreeImage(bool freeAlpha) {
    ReleaseViews();
    if (fileBuffer_) fileBuffer_->Close();
    memory_.Free();
    bits_ = nullptr;
    FreeDevice();
    palette_.clear();
    paletteLength_ = 0;
    if (freeAlpha) alpha_.reset();
    width_ = height_ = 0;
    format_ = ieNone;
    bitsPerPixel_ = channelCount_ = rowLength_ = 0;
    Full = false;
}

static int DeviceDepthFor(TIEPixelFormat f) {
    switch (f) {
    case ie1g: return 1;
    case ie8p:
    case ie8g:
    case ie16g: return 8;
    case ie24RGB: return 24;
    case ie32RGB: return 32;
    default: return 0;
    }
}

static void SetGrayRamp(TBitmap& device) {
    TRGB ramp[256];
    for (int i = 0; i < 256; ++i) ramp[i] = TRGB{uint8_t(i), uint8_t(i), uint8_t(i)};
    device.SetColors(ramp, 256);
}

bool TIEBitmap::AllocateDevice() {
    if (format_ == ie16g) format_ = ie8g; // the device holds 16-bit gray as 8-bit gray
    int depth = DeviceDepthFor(format_);
    if (depth == 0) return false; // "<format> pixel format not allowed when Location=ieTBitmap"
    if (!device_) {
        ownedDevice_ = std::make_unique<TBitmap>();
        device_ = ownedDevice_.get();
        deviceNotOwned_ = false;
    }
    bool ok = device_->SetSize(1, 1) && device_->SetDepth(0) && device_->SetDepth(depth) &&
              device_->SetSize(width_, height_);
    if (!ok) return false;
    if (format_ == ie8g) SetGrayRamp(*device_);
    ComputeDerived();
    RebuildRowTable();
    deviceVersion_ = device_->Version();
    if (format_ == ie8p) PushPaletteToDevice();
    return true;
}

bool TIEBitmap::AllocateStorage() {
    if (width_ < 1 || height_ < 1 || format_ == ieNone || format_ >= ieFormatCount) return false;
    if (location_ == ieTBitmap) return AllocateDevice();
    ComputeDerived();
    if (rowLength_ <= 0) return false;
    uint64_t size = uint64_t(rowLength_) * uint64_t(height_);
    if (location_ == ieFile && MemoryThreshold > int64_t(size)) location_ = ieMemory;
    else if (location_ == ieMemory && MemoryThreshold < int64_t(size)) location_ = ieFile;
    if (location_ == ieFile) {
        try {
            fileBuffer_->Create(int64_t(size));
            return true;
        } catch (const EIEException&) {
            location_ = ieMemory;
        }
    }
    if (!memory_.Allocate(size + 32, Allocator)) return false;
    uintptr_t p = reinterpret_cast<uintptr_t>(memory_.Data());
    bits_ = memory_.Data() + ((32 - (p & 31)) & 31);
    return true;
}

bool TIEBitmap::Allocate(int width, int height, TIEPixelFormat format) {
    Sync();
    if (!Dirty && width == width_ && height == height_ && format == format_ && !IsEmpty()) return true;
    alpha_.reset();
    FreeImage(false);
    width_ = width;
    height_ = height;
    format_ = format;
    Dirty = false;
    Full = false;
    bool ok = AllocateStorage();
    if (!ok) {
        FreeImage(false);
        format_ = format;
        return false;
    }
    Full = false;
    return true;
}

uint8_t* TIEBitmap::Scanline(int row) {
    switch (location_) {
    case ieMemory: return bits_ + size_t(rowLength_) * size_t(height_ - 1 - row);
    case ieFile:
        if (currentView_) fileBuffer_->ReleaseView(currentView_);
        currentView_ = fileBuffer_->OpenView(int64_t(row) * rowLength_, rowLength_, Access);
        return currentView_;
    case ieTBitmap:
        Sync();
        return rowTable_[size_t(row)];
    }
    return nullptr;
}

uint8_t* TIEBitmap::KeepScanline(int row) {
    if (location_ != ieFile) return Scanline(row);
    uint8_t* v = fileBuffer_->OpenView(int64_t(row) * rowLength_, rowLength_, Access);
    keptViews_.push_back(v);
    keptRows_.push_back(row);
    return v;
}

void TIEBitmap::ReleaseScanline(uint8_t* address) {
    if (location_ != ieFile) return;
    for (size_t i = 0; i < keptViews_.size(); ++i) {
        if (keptViews_[i] == address) {
            fileBuffer_->ReleaseView(address);
            keptViews_.erase(keptViews_.begin() + ptrdiff_t(i));
            keptRows_.erase(keptRows_.begin() + ptrdiff_t(i));
            return;
        }
    }
}

void TIEBitmap::TransferStorageTo(TIEBitmap& target) {
    if (&target == this) return;
    Sync();
    target.FreeImage(true);
    target.location_ = location_;
    target.memory_ = std::move(memory_);
    target.bits_ = bits_;
    target.fileBuffer_ = std::move(fileBuffer_);
    target.currentView_ = currentView_;
    target.keptViews_ = std::move(keptViews_);
    target.keptRows_ = std::move(keptRows_);
    target.ownedDevice_ = std::move(ownedDevice_);
    target.device_ = device_;
    target.deviceNotOwned_ = deviceNotOwned_;
    target.deviceVersion_ = deviceVersion_;
    target.rowTable_ = std::move(rowTable_);
    target.palette_ = std::move(palette_);
    target.paletteLength_ = paletteLength_;
    target.alpha_ = std::move(alpha_);
    target.width_ = width_;
    target.height_ = height_;
    target.bitsPerPixel_ = bitsPerPixel_;
    target.channelCount_ = channelCount_;
    target.rowLength_ = rowLength_;
    target.format_ = format_;
    target.Full = Full;
    target.rowAlignment_ = rowAlignment_;
    target.Allocator = Allocator;
    target.ColorCount = ColorCount;

    bits_ = nullptr;
    fileBuffer_ = std::make_unique<TIEFileBuffer>();
    currentView_ = nullptr;
    keptViews_.clear();
    keptRows_.clear();
    device_ = nullptr;
    deviceNotOwned_ = false;
    deviceVersion_ = 0;
    rowTable_.clear();
    palette_.clear();
    paletteLength_ = 0;
    width_ = height_ = 0;
    bitsPerPixel_ = channelCount_ = rowLength_ = 0;
    format_ = ieNone;
    Full = false;
    Dirty = true;
}

// Copies the top-left overlap of scratch (rows, then the alpha) into this freshly
// allocated bitmap.
void TIEBitmap::RebuildFrom(TIEBitmap& scratch) {
    int rows = std::min(Height(), scratch.Height());
    size_t bytes = size_t(std::min(RowLength(), scratch.RowLength()));
    TIEDataAccessSet sa = scratch.Access, ta = Access;
    scratch.Access = iedRead;
    Access = iedWrite;
    for (int y = 0; y < rows; ++y) std::memcpy(Scanline(y), scratch.Scanline(y), bytes);
    scratch.Access = sa;
    Access = ta;
    if (scratch.alpha_) {
        alpha_ = std::move(scratch.alpha_);
        alpha_->isAlpha_ = true;
    }
}

void TIEBitmap::SetLocation(TIELocation location) {
    if (location == location_) return;
    TIEBitmap scratch;
    TransferStorageTo(scratch);
    location_ = location;
    bool alphaFlag = scratch.isAlpha_;
    if (scratch.format_ != ieNone && Allocate(scratch.Width(), scratch.Height(), scratch.PixelFormat())) {
        RebuildFrom(scratch);
        for (int i = 0; i < std::min(paletteLength_, scratch.paletteLength_); ++i)
            palette_[size_t(i)] = scratch.palette_[size_t(i)];
        PushPaletteToDevice();
    } else if (scratch.alpha_) {
        alpha_ = std::move(scratch.alpha_);
    }
    isAlpha_ = alphaFlag;
    Dirty = true;
}

TBitmap* TIEBitmap::DeviceBitmap() {
    SetLocation(ieTBitmap);
    if (!device_) {
        ownedDevice_ = std::make_unique<TBitmap>();
        device_ = ownedDevice_.get();
        deviceNotOwned_ = false;
    }
    return device_;
}

void TIEBitmap::AttachDeviceBitmap(TBitmap* bitmap, bool freeFirst) {
    if (freeFirst) FreeImage(true);
    else {
        ReleaseViews();
        FreeDevice();
    }
    ownedDevice_.reset();
    device_ = bitmap;
    deviceNotOwned_ = true;
    location_ = ieTBitmap;
    width_ = bitmap->Width();
    height_ = bitmap->Height();
    switch (bitmap->Depth()) {
    case 1: format_ = ie1g; break;
    case 24: format_ = ie24RGB; break;
    case 32: format_ = ie32RGB; break;
    default: break;
    }
    ComputeDerived();
    RebuildRowTable();
    deviceVersion_ = 0; // force the next query to re-read the device bitmap
}

void TIEBitmap::SetRowAlignment(int bits) {
    if (bits == rowAlignment_ || bits <= 0 || bits % 8 != 0) return;
    Dirty = true;
    // Device bitmaps have their own fixed layout, and a file image is not re-laid out;
    // an empty bitmap just records the alignment for its next allocation.
    if (location_ == ieTBitmap || (location_ == ieFile && !IsEmpty())) return;
    if (IsEmpty()) {
        rowAlignment_ = bits;
        return;
    }
    TIEBitmap scratch;
    TransferStorageTo(scratch);
    rowAlignment_ = bits;
    if (scratch.format_ != ieNone && Allocate(scratch.width_, scratch.height_, scratch.format_)) {
        RebuildFrom(scratch);
        for (int i = 0; i < paletteLength_; ++i) palette_[size_t(i)] = scratch.palette_[size_t(i)];
    }
    Dirty = true;
}

void TIEBitmap::SetWidth(int width) {
    Sync();
    if (width == width_) return;
    if (alpha_) alpha_->SetWidth(width);
    if (location_ == ieTBitmap) {
        if (device_) {
            device_->SetSize(std::max(0, width), height_);
            Sync();
        } else width_ = width;
        return;
    }
    if (format_ == ieNone || height_ < 1 || IsEmpty()) {
        width_ = width;
        return;
    }
    TIEBitmap scratch;
    TransferStorageTo(scratch);
    Dirty = true;
    if (Allocate(width, scratch.height_, scratch.format_)) {
        RebuildFrom(scratch);
        for (int i = 0; i < paletteLength_; ++i) palette_[size_t(i)] = scratch.palette_[size_t(i)];
    }
    rowAlignment_ = scratch.rowAlignment_;
    Full = false;
}

void TIEBitmap::SetHeight(int height) {
    Sync();
    if (height == height_) return;
    if (alpha_) alpha_->SetHeight(height);
    if (location_ == ieTBitmap) {
        if (device_) {
            device_->SetSize(width_, std::max(0, height));
            Sync();
        } else height_ = height;
        return;
    }
    if (format_ == ieNone || width_ < 1 || IsEmpty()) {
        height_ = height;
        return;
    }
    TIEBitmap scratch;
    TransferStorageTo(scratch);
    Dirty = true;
    if (Allocate(scratch.width_, height, scratch.format_)) {
        RebuildFrom(scratch);
        for (int i = 0; i < paletteLength_; ++i) palette_[size_t(i)] = scratch.palette_[size_t(i)];
    }
    Full = false;
}

// ---- palette -----------------------------------------------------------------------

void TIEBitmap::PushPaletteToDevice() {
    if (location_ == ieTBitmap && device_ && paletteLength_ > 0 && device_->Depth() <= 8) {
        device_->SetColors(palette_.data(), paletteLength_);
        deviceVersion_ = device_->Version();
    }
}

void TIEBitmap::GetPaletteColor(int index, TRGB& color) {
    Sync();
    if (index >= 0 && index < paletteLength_) color = palette_[size_t(index)];
}

TRGB TIEBitmap::PaletteColor(int index) {
    TRGB c{};
    GetPaletteColor(index, c);
    return c;
}

void TIEBitmap::SetPaletteColor(int index, TRGB color) {
    Sync();
    if (index < 0 || index >= paletteLength_) return;
    palette_[size_t(index)] = color;
    PushPaletteToDevice();
}

// ---- alpha ------------------------------------------------------------------------

TIEBitmap* TIEBitmap::AlphaChannel() {
    if (isAlpha_) return nullptr;
    if (!alpha_) {
        auto a = NewAlpha();
        if (a->Allocate(Width(), Height(), ie8g)) {
            int rl = a->RowLength();
            for (int y = 0; y < a->Height(); ++y) std::memset(a->Scanline(y), 255, size_t(rl));
            a->Full = true;
        }
        alpha_ = std::move(a);
    }
    return alpha_.get();
}

void TIEBitmap::AdoptAlphaChannel(std::unique_ptr<TIEBitmap> alpha) {
    if (!alpha || isAlpha_) return;
    alpha->isAlpha_ = true;
    // The previous alpha bitmap is owned by nobody else, so replacing it frees it.
    if (alpha.get() == alpha_.get()) {
        (void)alpha.release();
        return;
    }
    alpha_ = std::move(alpha);
}

void TIEBitmap::RemoveAlphaChannel(bool merge, TColor background) {
    if (isAlpha_ || !alpha_) return;
    if (merge && PixelFormat() == ie24RGB && !alpha_->IsEmpty()) {
        TRGB bg = TColor2TRGB(background);
        int w = std::min(Width(), alpha_->Width()), h = std::min(Height(), alpha_->Height());
        bool oneBit = alpha_->PixelFormat() == ie1g;
        std::vector<uint8_t> arow(size_t(std::max(w, 1)));
        for (int y = 0; y < h; ++y) {
            const uint8_t* a = alpha_->Scanline(y);
            if (oneBit)
                for (int x = 0; x < w; ++x) arow[size_t(x)] = (a[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
            else
                std::memcpy(arow.data(), a, size_t(w));
            auto* p = reinterpret_cast<TRGB*>(Scanline(y));
            for (int x = 0; x < w; ++x) {
                int a1024 = int(arow[size_t(x)]) * 1024;
                auto blend = [a1024](uint8_t c, uint8_t bc) {
                    return uint8_t(bc + ((((int(c) - int(bc)) * a1024) >> 18) & 0xFF));
                };
                p[x].b = blend(p[x].b, bg.b);
                p[x].g = blend(p[x].g, bg.g);
                p[x].r = blend(p[x].r, bg.r);
            }
        }
    }
    alpha_.reset();
}

// ---- whole-image copies ------------------------------------------------------------

// Copies rows (or the whole file) from source into this bitmap, already allocated at
// source's size, with Access narrowed so nothing is read or written back needlessly.
void TIEBitmap::CopyRowsFrom(TIEBitmap& source) {
    TIEDataAccessSet sa = source.Access, ta = Access;
    source.Access = iedRead;
    Access = iedWrite;
    int h = std::min(Height(), source.Height());
    if (location_ == ieFile && source.location_ == ieFile && rowLength_ == source.rowLength_) {
        source.ReleaseViews();
        ReleaseViews();
        int64_t total = int64_t(rowLength_) * h;
        std::vector<uint8_t> chunk(size_t(std::min<int64_t>(total, 1048576)));
        for (int64_t off = 0; off < total; off += int64_t(chunk.size())) {
            int64_t n = std::min<int64_t>(int64_t(chunk.size()), total - off);
            source.fileBuffer_->ReadAt(off, chunk.data(), n);
            fileBuffer_->WriteAt(off, chunk.data(), n);
        }
    } else {
        size_t bytes = size_t(std::min(RowLength(), source.RowLength()));
        for (int y = 0; y < h; ++y) std::memcpy(Scanline(y), source.Scanline(y), bytes);
        if (location_ == ieFile && currentView_) {
            fileBuffer_->ReleaseView(currentView_);
            currentView_ = nullptr;
        }
    }
    source.Access = sa;
    Access = ta;
}

static bool DeviceCanHold(TIEPixelFormat f) { return DeviceDepthFor(f) != 0 && f != ie16g; }

void TIEBitmap::Assign(TIEBitmap& source) {
    if (&source == this) return;
    Dirty = true;
    if (location_ == ieTBitmap) {
        if (source.IsEmpty()) return;
        if (!DeviceCanHold(source.PixelFormat())) {
            // The device bitmap cannot hold this format: hand it a converted copy.
            TIEBitmap copy;
            copy.Assign(source);
            copy.SetPixelFormat(source.PixelFormat() == ie16g ? ie8g : ie24RGB);
            if (!copy.IsEmpty() && DeviceCanHold(copy.PixelFormat())) Assign(copy);
            return;
        }
        width_ = source.Width();
        height_ = source.Height();
        format_ = source.PixelFormat();
        rowAlignment_ = source.rowAlignment_;
        ReleaseViews();
        if (!AllocateDevice()) {
            FreeImage(true);
            return;
        }
        Full = source.Full;
    } else {
        FreeImage(true);
        width_ = source.Width();
        height_ = source.Height();
        format_ = source.PixelFormat();
        Full = source.Full;
        rowAlignment_ = source.rowAlignment_;
        if (!AllocateStorage()) {
            FreeImage(true);
            return;
        }
        Full = false;
    }
    CopyRowsFrom(source);
    if (!isAlpha_) {
        if (source.alpha_) AlphaChannel()->Assign(*source.alpha_);
        else RemoveAlphaChannel(false, clWhite);
    }
    for (int i = 0; i < std::min(paletteLength_, source.paletteLength_); ++i)
        palette_[size_t(i)] = source.palette_[size_t(i)];
    PushPaletteToDevice();
}

void TIEBitmap::AssignImage(TIEBitmap& source) {
    if (&source == this || source.IsEmpty()) return;
    Dirty = true;
    if (location_ == ieTBitmap) {
        if (!DeviceCanHold(source.PixelFormat())) {
            TIEBitmap copy;
            copy.AssignImage(source);
            copy.SetPixelFormat(source.PixelFormat() == ie16g ? ie8g : ie24RGB);
            if (!copy.IsEmpty() && DeviceCanHold(copy.PixelFormat())) AssignImage(copy);
            return;
        }
        width_ = source.Width();
        height_ = source.Height();
        format_ = source.PixelFormat();
        ReleaseViews();
        if (!AllocateDevice()) {
            FreeImage(false);
            return;
        }
    } else {
        FreeImage(false);
        width_ = source.Width();
        height_ = source.Height();
        format_ = source.PixelFormat();
        if (!AllocateStorage()) {
            FreeImage(false);
            return;
        }
    }
    Full = false;
    CopyRowsFrom(source);
    for (int i = 0; i < std::min(paletteLength_, source.paletteLength_); ++i)
        palette_[size_t(i)] = source.palette_[size_t(i)];
    PushPaletteToDevice();
}

// ---- TIEWorkBitmap -------------------------------------------------------------------

void TIEWorkBitmap::Allocate(int width, int height, int bitsPerPixel) {
    if (width == Width && height == Height && bitsPerPixel == BitsPerPixel && block_.Data()) return;
    FreeImage();
    Width = width;
    Height = height;
    BitsPerPixel = bitsPerPixel;
    if (width <= 0 || height <= 0) return;
    RowLength = int(((int64_t(width) * bitsPerPixel + 31) / 32) * 4);
    if (!block_.Allocate(uint64_t(RowLength) * uint64_t(height), ieaMixed)) {
        Width = Height = RowLength = 0;
    }
}

void TIEWorkBitmap::FreeImage() {
    block_.Free();
    RowLength = 0;
}

} // namespace tw
