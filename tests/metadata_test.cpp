// The metadata holders of the parameter record: IPTC list (both stored forms), JPEG
// marker list, ICC profile holder and DICOM tag list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/dicomtags.h"
#include "io/icc.h"
#include "io/iptc.h"
#include "io/markers.h"

using namespace tw;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
    Bytes out;
    for (int x : v)
        out.push_back(uint8_t(x));
    return out;
}

Bytes Str(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
template <size_t N> Bytes Lit(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
} // keeps embedded zero bytes

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kPhotoshopHead = Cat({Str("Photoshop 3.0"), B({0}), Str("8BIM"), B({4, 4, 0, 0})});

} // namespace

// ---- IPTC: loading ------------------------------------------------------------------

TEST(IptcLoad, Cases) {
    struct Row {
        const char* name;
        Bytes buffer;
        bool result;
        std::vector<TIEIPTCInfo> expected;
    };
    const Row rows[] = {
        {"plain form, short and long lengths",
         Cat({B({0x1C, 2, 0, 0, 2, 0, 2}), B({0x1C, 2, 5, 0, 5}), Str("Title"),
              B({0x1C, 2, 120, 0x80, 0x04, 0, 0, 0, 3}), Str("abc")}),
         true,
         {{2, 0, B({0, 2})}, {2, 5, Str("Title")}, {2, 120, Str("abc")}}},
        {"leading bytes and a run of tag bytes",
         Cat({Str("xy"), B({0x1C, 0x1C, 2, 5, 0, 1}), Str("A")}),
         true,
         {{2, 5, Str("A")}}},
        {"bytes after the last dataset end the walk",
         Cat({B({0x1C, 2, 25, 0, 2}), Str("kw"), Str("trailing")}),
         true,
         {{2, 25, Str("kw")}}},
        {"empty dataset",
         B({0x1C, 2, 25, 0, 0, 0x1C, 2, 26, 0, 1, 'z'}),
         true,
         {{2, 25, {}}, {2, 26, Str("z")}}},
        {"negative extended length is taken as its size",
         Cat({B({0x1C, 2, 5, 0x80, 0x04, 0xFF, 0xFF, 0xFF, 0xFD}), Str("xyz")}),
         true,
         {{2, 5, Str("xyz")}}},
        {"dataset longer than the buffer", Cat({B({0x1C, 2, 5, 0, 16}), Str("short")}), false, {}},
        {"first dataset kept, second too long",
         Cat({B({0x1C, 2, 5, 0, 1}), Str("a"), B({0x1C, 2, 6, 0, 9}), Str("b")}),
         true,
         {{2, 5, Str("a")}}},
        {"header cut after the dataset number", B({0x1C, 2, 5, 0, 1}), false, {}},
        {"extended header cut inside its length", B({0x1C, 2, 5, 0x80, 0x04, 0, 0}), false, {}},
        {"huge extended length", B({0x1C, 2, 5, 0x80, 0x04, 0x7F, 0xFF, 0xFF, 0xFF, 1, 2}), false, {}},
        {"no tag byte at all", Str("nothing here"), false, {}},
        {"Photoshop form",
         Cat({kPhotoshopHead, B({0, 0, 0, 8, 0x1C, 2, 5, 0, 3}), Str("abc")}),
         true,
         {{2, 5, Str("abc")}}},
        {"Photoshop form after another resource",
         Cat({Str("Photoshop 3.0"), B({0}), Str("8BIM"), B({3, 0xED, 0, 0, 0, 0, 0, 2, 0x1C, 0x1C}),
              Str("8BIM"), B({4, 4, 3}), Str("abc"), B({0, 0, 0, 6, 0x1C, 2, 5, 0, 1}), Str("Z"), B({0})}),
         true,
         {{2, 5, Str("Z")}}},
        // The resource size 0x1C40 holds a tag byte; the datasets start after the size.
        {"Photoshop form whose size contains a tag byte",
         Cat({kPhotoshopHead, B({0, 0, 0x1C, 0x40, 0x1C, 2, 5, 0, 1}), Str("A")}),
         true,
         {{2, 5, Str("A")}}},
        {"Photoshop form without IPTC resource",
         Cat({Str("Photoshop 3.0"), B({0, 0x1C, 2, 5, 0, 1, 'A'})}),
         false,
         {}},
        {"Photoshop form cut inside the resource head",
         Cat({Str("Photoshop 3.0"), B({0}), Str("8BIM"), B({4, 4, 0})}),
         false,
         {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEIPTCInfoList list;
        list.Add(9, 9, "old", 3);
        // An exact-size heap copy, so that a read past the end is caught by the sanitizer.
        std::vector<uint8_t> exact(r.buffer);
        EXPECT_EQ(list.LoadFromBuffer(exact.data(), exact.size()), r.result);
        EXPECT_FALSE(list.UserChanged);
        EXPECT_EQ(list.Items(), r.expected);
    }
}

TEST(IptcLoad, EmptyBuffer) {
    TIEIPTCInfoList list;
    list.Add(2, 5, "x", 1);
    EXPECT_FALSE(list.LoadFromBuffer(nullptr, 0));
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.UserChanged);
}

// ---- IPTC: saving -------------------------------------------------------------------

TEST(IptcSave, PlainForm) {
    TIEIPTCInfoList list;
    list.Add(2, 0, "\x00\x04", 2); // the record version is always written as 2
    list.Add(2, 5, "Titl", 4);
    list.Add(2, 25, nullptr, 0); // empty data is skipped
    Bytes big(40000, 0xAB);
    list.Add(2, 120, big);
    // 7 + (5 + 4) + (9 + 40000) = 40025 bytes: odd, so one zero byte follows.
    Bytes expected = Cat({B({0x1C, 2, 0, 0, 2, 0, 2}), B({0x1C, 2, 5, 0, 4}), Str("Titl"),
                          B({0x1C, 2, 120, 0x80, 0x04, 0x00, 0x00, 0x9C, 0x40}), big, B({0})});
    EXPECT_EQ(list.SaveToBuffer(false), expected);
}

TEST(IptcSave, PhotoshopForm) {
    TIEIPTCInfoList list;
    list.Add(2, 5, "ab", 2);
    // 26 + 7 = 33 bytes, padded to 34; the size counts the 7 bytes of the dataset only.
    Bytes expected = Cat({kPhotoshopHead, B({0, 0, 0, 7, 0x1C, 2, 5, 0, 2}), Str("ab"), B({0})});
    EXPECT_EQ(list.SaveToBuffer(true), expected);

    list.Add(2, 6, "c", 1);
    // 26 + 7 + 6 = 39 bytes, padded to 40.
    expected = Cat({kPhotoshopHead, B({0, 0, 0, 13, 0x1C, 2, 5, 0, 2}), Str("ab"), B({0x1C, 2, 6, 0, 1}),
                    Str("c"), B({0})});
    EXPECT_EQ(list.SaveToBuffer(true), expected);
}

TEST(IptcSave, EmptyListGivesNoBuffer) {
    TIEIPTCInfoList list;
    EXPECT_TRUE(list.SaveToBuffer(true).empty());
    EXPECT_TRUE(list.SaveToBuffer(false).empty());
}

TEST(IptcSave, RoundTripBothForms) {
    struct Row {
        const char* name;
        size_t firstLength;
    };
    // (5 + 7227) + (5 + 5) = 7242 = 0x1C4A: the Photoshop size field then holds a tag byte.
    const Row rows[] = {{"small", 3}, {"size with a tag byte", 7227}, {"long form", 32768}, {"odd", 70001}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TIEIPTCInfoList list;
        Bytes first(r.firstLength);
        for (size_t i = 0; i < first.size(); ++i)
            first[i] = uint8_t(i * 7 + 1);
        list.Add(2, 120, first);
        list.Add(2, 5, "Title", 5);
        for (bool photoshop : {true, false}) {
            SCOPED_TRACE(photoshop ? "Photoshop form" : "plain form");
            Bytes buffer = list.SaveToBuffer(photoshop);
            TIEIPTCInfoList back;
            ASSERT_TRUE(back.LoadFromBuffer(buffer.data(), buffer.size()));
            std::vector<TIEIPTCInfo> expected = list.Items();
            if (!photoshop) expected.insert(expected.begin(), TIEIPTCInfo{2, 0, B({0, 2})});
            EXPECT_EQ(back.Items(), expected);
        }
    }
}

TEST(Iptc, UserChangedFlag) {
    TIEIPTCInfoList list;
    EXPECT_FALSE(list.UserChanged);
    list.Add(2, 5, "a", 1);
    EXPECT_TRUE(list.UserChanged);
    Bytes buf = list.SaveToBuffer(false);
    list.LoadFromBuffer(buf.data(), buf.size());
    EXPECT_FALSE(list.UserChanged);
    list.Clear();
    EXPECT_TRUE(list.UserChanged);
    TIEIPTCInfoList other;
    other.Add(1, 90, "\x1B%G", 3);
    list.LoadFromBuffer(buf.data(), buf.size());
    list.Assign(other);
    EXPECT_TRUE(list.UserChanged);
    EXPECT_EQ(list.Items(), other.Items());
    EXPECT_EQ(list.IndexOf(1, 90), 0);
    EXPECT_EQ(list.IndexOf(2, 5), -1);
}

// ---- marker list --------------------------------------------------------------------

TEST(MarkerList, EditingOperations) {
    TIEMarkerList m;
    EXPECT_EQ(m.Add(JPEG_COM, "one", 3), 0);
    EXPECT_EQ(m.Add(JPEG_APP1, Lit("Exif\0\0x")), 1);
    m.Insert(0, JPEG_APP13, Str("iptc"));
    m.Insert(99, JPEG_APP2, Str("end")); // clamped to the end
    ASSERT_EQ(m.Count(), 4);
    EXPECT_EQ(m.Code(0), JPEG_APP13);
    EXPECT_EQ(m.Code(3), JPEG_APP2);
    EXPECT_EQ(m.IndexOf(JPEG_APP1), 2);
    EXPECT_EQ(m.IndexOf(JPEG_APP1, "Exif"), 2);
    EXPECT_EQ(m.IndexOf(JPEG_APP1, "http"), -1);
    EXPECT_EQ(m.IndexOf(JPEG_APP0), -1);
    EXPECT_EQ(m.IndexOf(JPEG_COM, "one-and-more"), -1); // prefix longer than the payload

    m.Replace(1, JPEG_COM, Str("two"));
    EXPECT_EQ(m.Data(1), Str("two"));
    EXPECT_EQ(m.Length(1), 3);
    m.Swap(0, 3);
    EXPECT_EQ(m.Code(0), JPEG_APP2);
    EXPECT_EQ(m.Code(3), JPEG_APP13);
    m.Delete(0);
    EXPECT_EQ(m.Count(), 3);

    // Indexes out of range do nothing.
    m.Delete(-1);
    m.Delete(3);
    m.Replace(7, JPEG_COM, {});
    m.Swap(-1, 0);
    EXPECT_EQ(m.Count(), 3);
    EXPECT_EQ(m.Code(5), 0);
    EXPECT_TRUE(m.Data(-1).empty());

    TIEMarkerList copy;
    copy.Assign(m);
    EXPECT_EQ(copy, m);
    m.Clear();
    EXPECT_EQ(copy.Count(), 3);
    EXPECT_TRUE(m.Empty());
}

TEST(MarkerList, SortOrdersForWriting) {
    auto icc = [](int chunk) {
        Bytes b = Cat({Str("ICC_PROFILE"), B({0, chunk, 2}), Str("data")});
        return b;
    };
    TIEMarkerList m;
    m.Add(JPEG_COM, Str("comment"));
    m.Add(JPEG_APP2, icc(2));
    m.Add(JPEG_APP1, Str("http://ns.adobe.com/xap/1.0/"));
    m.Add(JPEG_APP13, Str("Photoshop 3.0"));
    m.Add(JPEG_APP2, icc(1));
    m.Add(JPEG_APP1, Lit("Exif\0\0"));
    m.Add(JPEG_APP0, Str("JFXX"));
    m.Add(JPEG_APP2, Str("FPXR"));
    m.Sort();

    const std::vector<std::pair<uint8_t, Bytes>> expected = {
        {JPEG_APP0, Str("JFXX")},
        {JPEG_APP1, Lit("Exif\0\0")},
        {JPEG_APP1, Str("http://ns.adobe.com/xap/1.0/")},
        {JPEG_APP2, icc(1)},
        {JPEG_APP2, icc(2)},
        {JPEG_APP2, Str("FPXR")},
        {JPEG_APP13, Str("Photoshop 3.0")},
        {JPEG_COM, Str("comment")},
    };
    ASSERT_EQ(m.Count(), int(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(m.Code(int(i)), expected[i].first);
        EXPECT_EQ(m.Data(int(i)), expected[i].second);
    }
}

// ---- ICC holder ---------------------------------------------------------------------

TEST(IccHolder, HeaderFields) {
    Bytes profile(132, 0);
    profile[3] = 132; // declared size, big-endian
    profile[8] = 0x02;
    profile[9] = 0x10;
    for (int i = 0; i < 4; ++i) {
        profile[12 + i] = uint8_t("mntr"[i]);
        profile[16 + i] = uint8_t("RGB "[i]);
        profile[20 + i] = uint8_t("XYZ "[i]);
        profile[36 + i] = uint8_t("acsp"[i]);
    }
    TIEICC icc;
    EXPECT_TRUE(icc.LoadFromBuffer(profile.data(), profile.size()));
    EXPECT_TRUE(icc.IsValid());
    EXPECT_EQ(icc.Size(), 132u);
    EXPECT_EQ(icc.DeclaredSize(), 132u);
    EXPECT_EQ(icc.Version(), 0x02100000u);
    EXPECT_EQ(icc.DeviceClass(), "mntr");
    EXPECT_EQ(icc.ColorSpace(), "RGB ");
    EXPECT_EQ(icc.ConnectionSpace(), "XYZ ");

    TIEICC copy;
    copy.Assign(icc);
    EXPECT_EQ(copy, icc);

    // Without signature, or shorter than a header: kept, but not a valid profile.
    profile[36] = 'x';
    EXPECT_FALSE(icc.LoadFromBuffer(profile.data(), profile.size()));
    EXPECT_EQ(icc.Size(), 132u);
    EXPECT_EQ(icc.ColorSpace(), "");
    EXPECT_FALSE(icc.LoadFromBuffer(profile.data(), 100));
    EXPECT_EQ(icc.Size(), 100u);

    icc.Clear();
    EXPECT_TRUE(icc.IsEmpty());
    EXPECT_FALSE(icc.IsValid());
    EXPECT_EQ(icc.Data(), nullptr);
}

// ---- DICOM tags ---------------------------------------------------------------------

TEST(DicomTagList, AddFindAndText) {
    TIEDicomTags tags;
    tags.Add(0x0028, 0x0010, "US", "\x00\x02", 2);
    tags.Add(0x0028, 0x0004, "CS", "MONOCHROME2\0", 12);
    tags.Add(0xFFFE, 0xE000, nullptr, nullptr, -1);
    tags.Add(0x0008, 0x0010, "LO", nullptr, 5); // no data: length 0
    ASSERT_EQ(tags.Count(), 4);
    EXPECT_EQ(tags.IndexOf(0x0028, 0x0004), 1);
    EXPECT_EQ(tags.Find(0x7FE0, 0x0010), nullptr);
    EXPECT_EQ(tags.Find(0x0028, 0x0004)->Text(), "MONOCHROME2");
    EXPECT_EQ(tags[0].VRText(), "US");
    EXPECT_EQ(tags[2].VRText(), "");
    EXPECT_EQ(tags[2].Length, -1);
    EXPECT_TRUE(tags[2].Data.empty());
    EXPECT_EQ(tags[3].Length, 0);
}
