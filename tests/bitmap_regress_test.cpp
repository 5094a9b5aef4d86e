// Regression tests for faults found in the bitmap store.
#include <gtest/gtest.h>

#include "image/bitmap.h"

using namespace tw;

// Replacing an alpha channel released the old one without freeing it (a leak the
// sanitizer build reports).
TEST(BitmapRegress, AdoptingAnAlphaChannelFreesThePreviousOne) {
    TIEBitmap b(4, 4, ie24RGB);
    b.AlphaChannel()->Fill(10);
    auto next = TIEBitmap::NewAlpha();
    ASSERT_TRUE(next->Allocate(4, 4, ie8g));
    next->Fill(77);
    b.AdoptAlphaChannel(std::move(next));
    EXPECT_TRUE(b.AlphaChannel()->IsAlpha());
    EXPECT_EQ(b.AlphaPixel(3, 3), 77);
}
