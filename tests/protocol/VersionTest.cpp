#include "orvo/Version.h"

#include <gtest/gtest.h>

#include <string>

namespace orvo {
namespace {

TEST(VersionTest, ComparesPaddedComponentsByNumericValue) {
  struct Case {
    std::string left;
    std::string right;
    int expected;
  };
  const Case cases[] = {
      {"3.0", "3", 0},       {"3", "3.0.0", 0},    {"3.6", "3.6.0", 0}, {"3.6", "3.10", -1},
      {"3.10", "3.9", 1},    {"4.0", "3.9.9", 1},  {"4", "3.6.1", 1},   {"3.5", "3.5.1", -1},
      {"3.0", "3.0.1", -1},  {"3.0", "2.9", 1},    {"3.0", "", 1},      {"", "", 0},
      {"", "0", -1},         {"10.0", "9.99", 1},  {"3.05", "3.5", 0},  {"3.", "3", -1},
      {"3..1", "3.0.1", -1}, {"3.1a", "3.1b", -1}, {"3.1a", "3.1", 1},  {"3.a", "3.1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(versionCompare(c.left, c.right), c.expected) << c.left << " vs " << c.right;
    EXPECT_EQ(versionCompare(c.right, c.left), -c.expected) << c.right << " vs " << c.left;
  }

  // Long digit runs compare without overflow; long inputs without trouble.
  const std::string huge = "3." + std::string(40, '9');
  EXPECT_EQ(versionCompare(huge, "3.1" + std::string(40, '0')), -1);
  EXPECT_EQ(versionCompare("3.000000000000000000000000000007", "3.7"), 0);
  EXPECT_EQ(versionCompare("18446744073709551617", "18446744073709551616"), 1);
  const std::string dots(100000, '.');
  EXPECT_EQ(versionCompare(dots, dots), 0);
  EXPECT_EQ(versionCompare(dots, "1"), -1);
}

}  // namespace
}  // namespace orvo
