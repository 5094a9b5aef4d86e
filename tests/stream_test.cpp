// Streams: the buffered read view, the file stream's messages, the checked write and the
// safe file writer.
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>

#include "image/errors.h"
#include "io/safefile.h"
#include "io/stream.h"
#include "tests/helpers.h"

using namespace tw;

namespace {

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t(0));
    return v;
}

// A stream that accepts at most `room` bytes in all.
class TFullStream : public TMemoryStream {
  public:
    explicit TFullStream(int64_t room) : room_(room) {}
    int64_t Write(const void* b, int64_t n) override {
        n = std::min(n, room_);
        room_ -= n;
        return TMemoryStream::Write(b, n);
    }

  private:
    int64_t room_;
};

} // namespace

TEST(BufferedReadStream, RelativeAndAbsoluteViews) {
    auto data = Counting(1000);
    TMemoryStream src(data.data(), data.size());
    src.SetPosition(100);
    TIEBufferedReadStream rel(src, true, 16);
    EXPECT_EQ(rel.Position(), 0);
    EXPECT_EQ(rel.Size(), 900);
    uint8_t b[64];
    ASSERT_EQ(rel.Read(b, 3), 3);
    EXPECT_EQ(b[0], 100);
    // A request larger than the buffer still arrives whole.
    ASSERT_EQ(rel.Read(b, 40), 40);
    EXPECT_EQ(b[39], uint8_t(100 + 3 + 39));
    rel.Seek(-10, TSeekOrigin::End);
    EXPECT_EQ(rel.Read(b, 64), 10) << "a read stops at the end";
    EXPECT_EQ(b[9], uint8_t(999 & 0xFF));
    rel.Seek(5, TSeekOrigin::Begin);
    rel.Seek(2, TSeekOrigin::Current);
    ASSERT_EQ(rel.Read(b, 1), 1);
    EXPECT_EQ(b[0], 107);

    src.SetPosition(100);
    TIEBufferedReadStream abs(src, false, 8);
    EXPECT_EQ(abs.Position(), 100);
    EXPECT_EQ(abs.Size(), 1000);
    abs.SetPosition(250);
    ASSERT_EQ(abs.Read(b, 2), 2);
    EXPECT_EQ(b[0], 250);
    try {
        abs.Write(b, 1);
        FAIL() << "writing must raise";
    } catch (const EIEException& e) {
        EXPECT_STREQ(e.what(), "TIEBufferedReadStream cannot write!");
    }
}

TEST(FileStream, MessagesNameTheFile) {
    twtest::TempDir dir;
    try {
        TIEWideFileStream f(dir.file("missing.png"), fmOpenReadShared);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + dir.file("missing.png") + "\". No such file or directory.");
    }
    try {
        TIEWideFileStream f(dir.file("no/such/folder.png"), fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + dir.file("no/such/folder.png") + "\". ", 0), 0u);
    }
    EXPECT_THROW(TIEWideFileStream(dir.path().string(), fmOpenReadShared), EFOpenError) << "a folder is no file";

    auto data = Counting(200000);
    {
        TIEWideFileStream w(dir.file("a.bin"), fmCreate);
        w.WriteBuffer(data.data(), int64_t(data.size()));
    }
    TIEWideFileStream r(dir.file("a.bin"), fmOpenReadShared);
    EXPECT_EQ(r.Size(), 200000);
    std::vector<uint8_t> back(data.size());
    for (size_t i = 0; i < back.size(); i += 7) r.Read(back.data() + i, int64_t(std::min<size_t>(7, back.size() - i)));
    EXPECT_EQ(back, data) << "small reads through the read-ahead";
    uint8_t b[4];
    EXPECT_THROW(r.ReadBuffer(b, 4), EReadError) << "reading past the end";
}

TEST(CheckedWrite, ShortWriteSetsTheFlag) {
    TFullStream s(5);
    bool abort = false;
    CheckedWrite(s, &abort, "abc", 3);
    EXPECT_FALSE(abort);
    CheckedWrite(s, &abort, "defg", 4);
    EXPECT_TRUE(abort);
}

TEST(SafeFileWriter, OnlyACommitReplacesTheTarget) {
    twtest::TempDir dir;
    const std::string target = dir.file("t.bin");
    twtest::WriteFile(target, "old");
    {
        TIESafeFileWriter w(target);
        w.Stream().WriteBuffer("new content", 11);
        EXPECT_EQ(twtest::ReadFile(target), std::vector<uint8_t>({'o', 'l', 'd'}));
    } // no commit
    EXPECT_EQ(twtest::ReadFile(target), std::vector<uint8_t>({'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    {
        TIESafeFileWriter w(target);
        w.Stream().WriteBuffer("new", 3);
        w.Commit();
    }
    EXPECT_EQ(twtest::ReadFile(target), std::vector<uint8_t>({'n', 'e', 'w'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_THROW(TIESafeFileWriter(dir.file("none/x.bin")), EFCreateError);
}
