#include "core/Log.h"

#include <gtest/gtest.h>

#include "support/TestHost.h"

namespace orvo {
namespace {

TEST(LogTest, FormatFillsPlaceholdersInOrder) {
  EXPECT_EQ(logging::format("- status  : %d, %@ and %f (%lu)", {"200", "body", "30.000000", "7"}),
            "- status  : 200, body and 30.000000 (7)");
  // Fewer values than placeholders: the rest stay; a lone "%" is text.
  EXPECT_EQ(logging::format("%@ to %@ at 100%", {"a"}), "a to %@ at 100%");
  EXPECT_EQ(logging::format("no placeholder", {"dropped"}), "no placeholder");
  // A value that itself holds a placeholder is not filled again.
  EXPECT_EQ(logging::format("%@ then %@", {"%@", "x"}), "%@ then x");
}

TEST(LogTest, TraceFollowsTheSwitchAndAlwaysIgnoresIt) {
  test::TestHost host;
  logging::trace("hidden");
  logging::always("shown");
  host.setLogging(true);
  logging::trace("traced");
  EXPECT_EQ(host.log->lines(), (std::vector<std::string>{"shown", "traced"}));
}

}  // namespace
}  // namespace orvo
