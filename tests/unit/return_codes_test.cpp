// The meanings of the exit codes, as companion-doctor reports a log's last one.
#include <gtest/gtest.h>

#include "return_codes.h"

namespace {

using companion::returnCodeMeaning;

TEST(ReturnCodeMeaningTest, NamesTheCodesAndOnlyThem) {
  EXPECT_STREQ(returnCodeMeaning(companion::kCodeReadFailed), "a side closed its end (the normal end of a session)");
  EXPECT_STREQ(returnCodeMeaning(241), "the agent was busy");
  EXPECT_STREQ(returnCodeMeaning(-1), "not a code of the companion");
  // A log may hold any number; one that is a code only in its low 32 bits is none.
  EXPECT_STREQ(returnCodeMeaning((int64_t{1} << 32) + 246), "not a code of the companion");
}

}  // namespace
