#include <gtest/gtest.h>

#include "image/bitmap.h"

using namespace tw;

TEST(Bitmap, Placeholder) {
    TIEBitmap b(10, 10, ie24RGB);
    EXPECT_EQ(b.RowLength(), 32);
}
