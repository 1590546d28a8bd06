#include "common/roll_pool_check.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/temp_dir.h"

std::vector<int> CheckedRollPool(const std::string& rolls) {
  std::vector<int> values;
  size_t start = 0;
  while (start < rolls.size()) {
    size_t end = rolls.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
    if (end == std::string::npos) break;
    std::string number = rolls.substr(start, end - start);
    EXPECT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << number;
    values.push_back(std::stoi(number));
    start = end + 2;
  }
  return values;
}

void ExpectFreshPoolWithRollFromIt(const std::filesystem::path& folder) {
  std::vector<int> pool = CheckedRollPool(ReadFileBytes(folder / "rolls.txt"));
  ASSERT_EQ(pool.size(), 10u);
  for (int value : pool) {
    EXPECT_GE(value, 1);
    EXPECT_LE(value, 99);
  }
  std::string roll = ReadFileBytes(folder / "roll.txt");
  ASSERT_FALSE(roll.empty());
  EXPECT_EQ(roll.find_first_not_of("0123456789"), std::string::npos) << "no line end: " << roll;
  EXPECT_NE(std::find(pool.begin(), pool.end(), std::stoi(roll)), pool.end());
}
