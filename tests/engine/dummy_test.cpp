#include <gtest/gtest.h>
#include "engine/engine.h"
TEST(Smoke, Replace) { std::string l = "xaabby"; EXPECT_EQ(1, replace_all_in_line(l, "ab", "")); EXPECT_EQ("xy", l); }
