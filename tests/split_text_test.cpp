#include <gtest/gtest.h>

#include "split_text.h"

namespace {
TextList split(const char* text, const char* delimiter, TextList list = {}) {
  splitText(text, list, delimiter);
  return list;
}
}  // namespace

TEST(SplitText, PiecesBetweenDelimiters) {
  EXPECT_EQ(split("a,b,c", ","), (TextList{"a", "b", "c"}));
  EXPECT_EQ(split("a,,b", ","), (TextList{"a", "", "b"}));
  EXPECT_EQ(split(",a", ","), (TextList{"", "a"}));
  EXPECT_EQ(split("a,b,", ","), (TextList{"a", "b"}));
  EXPECT_EQ(split(",", ","), (TextList{""}));
  EXPECT_EQ(split("", ","), TextList{});
  EXPECT_EQ(split("whole", ","), (TextList{"whole"}));
}

TEST(SplitText, LongDelimitersMatchWholeAndNeverOverlap) {
  EXPECT_EQ(split("A::B::", "::"), (TextList{"A", "B"}));
  EXPECT_EQ(split("a:::b", "::"), (TextList{"a", ":b"}));
  EXPECT_EQ(split("aXYXb", "XY"), (TextList{"a", "Xb"}));
  EXPECT_EQ(split("a=b", "=="), (TextList{"a=b"}));
  EXPECT_EQ(split("Ann lee", "L"), (TextList{"Ann lee"}));
}

TEST(SplitText, AppendsBehindExistingPiecesAndStopsAtNul) {
  EXPECT_EQ(split("c,d", ",", {"a", "b"}), (TextList{"a", "b", "c", "d"}));
  EXPECT_EQ(split("", ",", {"kept"}), (TextList{"kept"}));
  const char text[] = "a,b\0,c";
  EXPECT_EQ(split(text, ","), (TextList{"a", "b"}));
}
