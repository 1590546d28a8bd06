#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Checks, as GoogleTest expectations, the byte format of a rolls.txt content
// (every value digits only, on a line of its own ending in CR LF) and returns
// its values.
std::vector<int> CheckedRollPool(const std::string& rolls);

// Checks, as GoogleTest expectations, that `folder` holds a freshly drawn pool
// (ten values from 1 to 99 in rolls.txt) and a roll.txt holding one of those
// values, digits only and without a line end.
void ExpectFreshPoolWithRollFromIt(const std::filesystem::path& folder);
