#include "core/GbkTexts.h"
#include "core/TextRules.h"

#include <gtest/gtest.h>

using namespace telvoro;

TEST(TextRules, Placeholder) { EXPECT_EQ(GetSegCount(66), 2); }
