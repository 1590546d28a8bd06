#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// Reads a decimal number at the start of `text` as strtol does in the C
// locale: leading white space (space, \t, \n, \v, \f, \r) skipped, an
// optional sign, then digits; anything after them is ignored. Empty when
// there are no digits or the number does not fit in 32 bits. With `end`
// given and a number read, `*end` is the index just after its last digit.
std::optional<int32_t> ParseLeadingInt32(std::string_view text, size_t* end = nullptr);
