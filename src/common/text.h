#pragma once

#include <string>
#include <string_view>

// UTF-16 to UTF-8, for paths that go into log lines. Invalid sequences become
// U+FFFD; an empty input gives an empty string.
std::string ToUtf8(std::wstring_view wide);

// UTF-8 to UTF-16.
std::wstring FromUtf8(std::string_view utf8);
