#pragma once

#include <algorithm>
#include <string_view>

// Case folding of ASCII letters alone, as Windows compares the names of
// files, processes and environment variables: any other character stands
// for itself.

// `c` in upper case when it is an ASCII letter.
template <typename Char>
constexpr Char AsciiUpper(Char c) {
  return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

namespace ascii_case_detail {
template <typename Char>
bool Same(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](Char x, Char y) {
           return AsciiUpper(x) == AsciiUpper(y);
         });
}
}  // namespace ascii_case_detail

// True when `a` and `b` are the same text, ASCII case ignored.
inline bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return ascii_case_detail::Same(a, b);
}
inline bool SameIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  return ascii_case_detail::Same(a, b);
}
