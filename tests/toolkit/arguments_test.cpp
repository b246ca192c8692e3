#include <gtest/gtest.h>
#include <unistd.h>

#include "las_builder.h"

using namespace testutil;

TEST(NumericArgument, AcceptsPlainDecimalTexts) {
    for (const char* text : {"15", "0.5", ".5", "5.", "-2", "-0.25", "5-", "-.", ""}) {
        testing::internal::CaptureStdout();
        torvane::check_numeric_argument(text);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << text;
    }
}

TEST(NumericArgument, RejectsEverythingElse) {
    for (const char* text : {".", "-", "1.2.3", "--1", "+1", "1e5", "1 2", "1,5"}) {
        EXPECT_FAILS_WITH(torvane::check_numeric_argument(text), "Invalid argument value") << text;
    }
}

TEST(YesNoFlag, AcceptsExactlyOneLetter) {
    for (const char* text : {"Y", "N", "y", "n"}) EXPECT_EQ(torvane::check_YN(text), 0);
    for (const char* text : {"yes", "YES", " ", ""}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(torvane::check_YN(text), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nASCII Header Flag should be either Y (y) or N (n)\n");
    }
}

TEST(Banner, PrintsTheSixPieces) {
    testing::internal::CaptureStdout();
    torvane::credits();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kBanner);
}
