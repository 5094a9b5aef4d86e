#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <unistd.h>

#include "image/bitmap.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

// Counts the temporary image files in a folder and the ones the process still holds open.
int TempFilesIn(const std::string& dir) {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("IMG-", 0) == 0) ++n;
    return n;
}

int OpenTempFiles() {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(e.path(), ec).string();
        if (target.find("/IMG-") != std::string::npos) ++n;
    }
    return n;
}

// Points TMPDIR at a private folder for the test's lifetime.
class ScopedTmpDir {
  public:
    ScopedTmpDir() {
        const char* old = std::getenv("TMPDIR");
        if (old) old_ = old, had_ = true;
        setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~ScopedTmpDir() {
        if (had_) setenv("TMPDIR", old_.c_str(), 1);
        else unsetenv("TMPDIR");
    }
    std::string path() const { return dir_.path().string(); }

  private:
    twtest::TempDir dir_;
    std::string old_;
    bool had_ = false;
};

void FillPattern(TIEBitmap& b) {
    int rl = b.RowLength();
    for (int y = 0; y < b.Height(); ++y) {
        uint8_t* p = b.Scanline(y);
        for (int i = 0; i < rl; ++i) p[i] = uint8_t(y * 31 + i * 7);
    }
}

bool SamePattern(TIEBitmap& b, int bytesPerRow) {
    for (int y = 0; y < b.Height(); ++y) {
        const uint8_t* p = b.Scanline(y);
        for (int i = 0; i < bytesPerRow; ++i)
            if (p[i] != uint8_t(y * 31 + i * 7)) return false;
    }
    return true;
}

} // namespace

TEST(BitmapStore, RowLengthTable) {
    struct Row {
        TIEPixelFormat f;
        int width, alignment, expected;
    } rows[] = {
        {ie1g, 1, 32, 4},      {ie1g, 33, 32, 8},     {ie24RGB, 1, 32, 4}, {ie24RGB, 3, 32, 12},
        {ie8g, 5, 32, 8},      {ieRGB48, 5, 32, 32},  {ie24RGB, 3, 8, 9},  {ie16g, 3, 32, 8},
        {ie32f, 3, 32, 12},    {ieCMYK, 2, 32, 8},    {ieCIELab, 2, 32, 8}, {ie32RGB, 1, 32, 4},
        {ie8p, 4, 32, 4},      {ie1g, 32, 32, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(PixelFormatName(r.f)) + " width " + std::to_string(r.width) + " align " +
                     std::to_string(r.alignment));
        TIEBitmap b;
        b.SetRowAlignment(r.alignment);
        ASSERT_TRUE(b.Allocate(r.width, 2, r.f));
        EXPECT_EQ(b.RowLength(), r.expected);
        EXPECT_EQ(b.BitsPerPixel(), IEBitsPerPixel[r.f]);
        EXPECT_EQ(b.ChannelCount(), IEChannelCount[r.f]);
        EXPECT_EQ(b.PaletteLength(), r.f == ie8p ? 256 : 0);
    }
}

TEST(BitmapStore, AllocationRules) {
    TIEBitmap b;
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(b.Location(), ieFile); // a new bitmap starts in the file location
    EXPECT_FALSE(b.Allocate(0, 10, ie24RGB));
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
    EXPECT_FALSE(b.Allocate(10, 10, ieNone));

    ASSERT_TRUE(b.Allocate(100, 100, ie24RGB));
    EXPECT_EQ(b.Location(), ieMemory);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.Scanline(99)) % 32, 0u) << "memory images start 32-byte aligned";
    EXPECT_EQ(b.Scanline(0), b.Scanline(99) + 99 * 300) << "memory images are bottom-up";
    for (int y = 0; y < 100; ++y)
        for (int i = 0; i < 300; ++i) ASSERT_EQ(b.Scanline(y)[i], 0) << "new memory is zero-filled";

    FillPattern(b);
    EXPECT_TRUE(b.Allocate(100, 100, ie24RGB)); // same size and format, not dirty: content kept
    EXPECT_TRUE(SamePattern(b, 300));
    b.Dirty = true;
    EXPECT_TRUE(b.Allocate(100, 100, ie24RGB));
    EXPECT_FALSE(SamePattern(b, 300));

    // Absurd sizes fail cleanly instead of wrapping around.
    TIEBitmap huge;
    EXPECT_FALSE(huge.Allocate(2000000000, 2000000000, ieRGB48));
    EXPECT_TRUE(huge.IsEmpty());
}

TEST(BitmapStore, MemoryThreshold) {
    EXPECT_EQ(MemoryThresholdFor(4294967296ull), 3303820996ll);
    EXPECT_EQ(MemoryThresholdFor(0), 33554432);

    ScopedTmpDir tmp;
    struct Row {
        int64_t threshold;
        TIELocation start, expected;
    } rows[] = {
        {29999, ieFile, ieFile},     {30000, ieFile, ieFile},     {30001, ieFile, ieMemory},
        {29999, ieMemory, ieFile},   {30000, ieMemory, ieMemory}, {30001, ieMemory, ieMemory},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("threshold " + std::to_string(r.threshold) + " start " + std::to_string(r.start));
        TIEBitmap b;
        if (r.start == ieMemory) {
            ASSERT_TRUE(b.Allocate(1, 1, ie8g)); // enter the memory location
        }
        ASSERT_EQ(b.Location(), r.start);
        b.MemoryThreshold = r.threshold;
        b.Dirty = true;
        ASSERT_TRUE(b.Allocate(100, 100, ie24RGB)); // RowLength 300 x 100 rows = 30000 bytes
        EXPECT_EQ(b.Location(), r.expected);
    }
}

TEST(BitmapStore, FileLocationRowViewsAndCleanup) {
    ScopedTmpDir tmp;
    int openBefore = OpenTempFiles();
    {
        TIEBitmap b;
        b.MemoryThreshold = 0;
        // Several megabytes: many row views, and a file-to-file copy in more than one chunk.
        ASSERT_TRUE(b.Allocate(1500, 1000, ie24RGB));
        ASSERT_EQ(b.Location(), ieFile);
        EXPECT_EQ(OpenTempFiles(), openBefore + 1);
        EXPECT_EQ(TempFilesIn(tmp.path()), 0) << "the file has no name to leave behind";
        FillPattern(b);
        EXPECT_TRUE(SamePattern(b, b.RowLength()));

        // Kept views stay valid while other rows are visited.
        uint8_t* top = b.KeepScanline(0);
        uint8_t* bottom = b.KeepScanline(999);
        b.Scanline(500);
        b.Scanline(501);
        EXPECT_EQ(top[5], uint8_t(5 * 7));
        EXPECT_EQ(bottom[5], uint8_t(999 * 31 + 5 * 7));
        top[0] = 0xAB;
        b.ReleaseScanline(top);
        b.ReleaseScanline(bottom);
        EXPECT_EQ(b.Scanline(0)[0], 0xAB);
        b.Scanline(0)[0] = 0;

        TIEBitmap copy;
        copy.MemoryThreshold = 0;
        copy.Assign(b);
        EXPECT_EQ(copy.Location(), ieFile);
        EXPECT_TRUE(SamePattern(copy, copy.RowLength()));

        TIEBitmap inMemory;
        inMemory.Assign(b);
        EXPECT_EQ(inMemory.Location(), ieMemory);
        EXPECT_TRUE(SamePattern(inMemory, inMemory.RowLength()));
        EXPECT_EQ(OpenTempFiles(), openBefore + 2);
    }
    EXPECT_EQ(OpenTempFiles(), openBefore) << "freeing the bitmaps removes their files";
    EXPECT_EQ(TempFilesIn(tmp.path()), 0);
}

TEST(BitmapStore, UnwritableTempFolderFallsBackToMemory) {
    ScopedTmpDir tmp;
    setenv("TMPDIR", "/nonexistent-folder-for-tarnwick", 1);
    TIEBitmap b;
    b.MemoryThreshold = 0;
    ASSERT_TRUE(b.Allocate(10, 10, ie8g));
    EXPECT_EQ(b.Location(), ieMemory);
}

TEST(BitmapStore, DeviceLocationRestrictions) {
    struct Row {
        TIEPixelFormat asked;
        bool ok;
        TIEPixelFormat got;
    } rows[] = {
        {ie1g, true, ie1g},     {ie8p, true, ie8p},      {ie8g, true, ie8g},       {ie16g, true, ie8g},
        {ie24RGB, true, ie24RGB}, {ie32RGB, true, ie32RGB}, {ie32f, false, ie32f}, {ieCMYK, false, ieCMYK},
        {ieRGB48, false, ieRGB48}, {ieCIELab, false, ieCIELab},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(PixelFormatName(r.asked));
        TIEBitmap b;
        b.SetLocation(ieTBitmap);
        ASSERT_EQ(b.Location(), ieTBitmap);
        EXPECT_EQ(b.Allocate(7, 3, r.asked), r.ok);
        EXPECT_EQ(b.Location(), ieTBitmap);
        if (r.ok) {
            EXPECT_EQ(b.PixelFormat(), r.got);
            EXPECT_EQ(b.Width(), 7);
            EXPECT_EQ(b.RowLength(), int((7 * IEBitsPerPixel[r.got] + 31) / 32 * 4));
            if (r.got == ie8g) {
                TBitmap* d = b.DeviceBitmap();
                EXPECT_TRUE(d->IsGrayRamp());
            }
        } else {
            EXPECT_TRUE(b.IsEmpty());
        }
    }
}

TEST(BitmapStore, DevicePaletteAndResize) {
    TIEBitmap b;
    b.SetLocation(ieTBitmap);
    ASSERT_TRUE(b.Allocate(10, 4, ie8p));
    EXPECT_EQ(b.PixelFormat(), ie8p);
    b.SetPaletteColor(3, MakeRGB(10, 20, 30));
    EXPECT_EQ(b.DeviceBitmap()->Color(3), MakeRGB(10, 20, 30));
    EXPECT_EQ(b.PaletteColor(3), MakeRGB(10, 20, 30));
    b.SetPaletteColor(256, MakeRGB(1, 1, 1)); // out of range: ignored
    b.Scanline(1)[2] = 3;
    b.SetWidth(20);
    b.SetHeight(6);
    EXPECT_EQ(b.Width(), 20);
    EXPECT_EQ(b.Height(), 6);
    EXPECT_EQ(b.Scanline(1)[2], 3) << "the overlap survives a resize";
    EXPECT_EQ(b.PaletteColor(3), MakeRGB(10, 20, 30));

    // Moving to memory and back keeps pixels and palette.
    b.SetLocation(ieMemory);
    EXPECT_EQ(b.Location(), ieMemory);
    EXPECT_EQ(b.Scanline(1)[2], 3);
    EXPECT_EQ(b.PaletteColor(3), MakeRGB(10, 20, 30));
    b.SetLocation(ieTBitmap);
    EXPECT_EQ(b.Scanline(1)[2], 3);
    EXPECT_EQ(b.PixelFormat(), ie8p);
}

TEST(BitmapStore, AlphaChannelLifecycle) {
    TIEBitmap b(4, 3, ie24RGB);
    EXPECT_FALSE(b.HasAlphaChannel());
    TIEBitmap* a = b.AlphaChannel();
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->IsAlpha());
    EXPECT_EQ(a->PixelFormat(), ie8g);
    EXPECT_EQ(a->Width(), 4);
    EXPECT_TRUE(a->Full);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(a->Scanline(y)[x], 255);
    EXPECT_EQ(a->AlphaChannel(), nullptr) << "an alpha bitmap has no alpha of its own";

    b.SetWidth(6);
    EXPECT_EQ(a->Width(), 6) << "size changes follow into the alpha";

    // Assign copies the alpha; AssignImage leaves the target's alpha alone.
    TIEBitmap withAlpha(2, 2, ie24RGB);
    withAlpha.AlphaChannel()->Scanline(0)[0] = 7;
    TIEBitmap plain(2, 2, ie24RGB);

    TIEBitmap t1(2, 2, ie24RGB);
    t1.Assign(withAlpha);
    ASSERT_TRUE(t1.HasAlphaChannel());
    EXPECT_EQ(t1.AlphaChannel()->Scanline(0)[0], 7);
    t1.Assign(plain);
    EXPECT_FALSE(t1.HasAlphaChannel()) << "Assign from a bitmap without alpha removes it";

    TIEBitmap t2(2, 2, ie24RGB);
    t2.AlphaChannel()->Scanline(1)[1] = 9;
    t2.AssignImage(plain);
    ASSERT_TRUE(t2.HasAlphaChannel()) << "AssignImage keeps the target's alpha";
    EXPECT_EQ(t2.AlphaChannel()->Scanline(1)[1], 9);

    EXPECT_TRUE(b.Allocate(5, 5, ie24RGB));
    EXPECT_FALSE(b.HasAlphaChannel()) << "Allocate drops the alpha";
}

TEST(BitmapStore, RemoveAlphaChannelMerge) {
    struct Row {
        TRGB pixel;
        uint8_t alpha;
        TColor background;
        TRGB expected;
    } rows[] = {
        {MakeRGB(255, 255, 255), 255, clBlack, MakeRGB(254, 254, 254)},
        {MakeRGB(10, 200, 30), 0, 0x00332211, MakeRGB(0x11, 0x22, 0x33)},
        {MakeRGB(0, 0, 0), 255, clWhite, MakeRGB(0, 0, 0)}, // 255 + floor(-255*255/256) = 0
        {MakeRGB(100, 100, 100), 128, clBlack, MakeRGB(50, 50, 50)},
        {MakeRGB(0, 0, 0), 128, clWhite, MakeRGB(127, 127, 127)}, // 255 + floor(-127.5) = 127
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.alpha));
        TIEBitmap b(1, 1, ie24RGB);
        std::memcpy(b.Scanline(0), &r.pixel, 3);
        b.AlphaChannel()->Scanline(0)[0] = r.alpha;
        b.RemoveAlphaChannel(true, r.background);
        EXPECT_FALSE(b.HasAlphaChannel());
        TRGB got;
        std::memcpy(&got, b.Scanline(0), 3);
        EXPECT_EQ(got.r, r.expected.r);
        EXPECT_EQ(got.g, r.expected.g);
        EXPECT_EQ(got.b, r.expected.b);
    }
}

TEST(BitmapStore, TransferAndWidthChanges) {
    TIEBitmap a(5, 4, ie8g);
    FillPattern(a);
    a.AlphaChannel();
    TIEBitmap b;
    a.TransferStorageTo(b);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(a.Dirty);
    EXPECT_FALSE(a.HasAlphaChannel());
    EXPECT_EQ(b.Width(), 5);
    EXPECT_TRUE(b.HasAlphaChannel());
    EXPECT_TRUE(SamePattern(b, 5));

    b.SetHeight(2);
    EXPECT_EQ(b.Height(), 2);
    EXPECT_TRUE(SamePattern(b, 5));
    EXPECT_EQ(b.AlphaChannel()->Height(), 2);

    TIEBitmap none;
    none.SetWidth(17);
    EXPECT_EQ(none.Width(), 17) << "a bitmap without format only records the width";
    EXPECT_TRUE(none.IsEmpty());
}

TEST(BitmapStore, RowAlignmentRelayout) {
    TIEBitmap b(3, 2, ie24RGB);
    b.Scanline(1)[8] = 42;
    b.SetRowAlignment(8);
    EXPECT_EQ(b.RowLength(), 9);
    EXPECT_EQ(b.Scanline(1)[8], 42);
}

TEST(BitmapStore, WorkBitmap) {
    TIEWorkBitmap w(5, 24, 3);
    EXPECT_EQ(w.RowLength, 16);
    EXPECT_EQ(w.Scanline(0), w.Scanline(2) + 2 * 16);
    TIEWorkBitmap empty(0, 24, 3);
    EXPECT_EQ(empty.Bits(), nullptr);
}
