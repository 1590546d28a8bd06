#pragma once

#include <string>
#include <utility>
#include <vector>

// An environment block as CreateProcessW takes it with
// CREATE_UNICODE_ENVIRONMENT: "NAME=value" strings, each ended by a zero,
// then one more zero. Names compare ignoring ASCII case, as Windows
// compares them.

// The block `block` (as GetEnvironmentStringsW gives it; null for an empty
// one) with each variable of `values` set: one already there is replaced
// where it stands, one missing is inserted where the alphabetical order of
// names puts it. The strings that begin with "=" (the folders of the
// drives) stay first and as they are.
std::wstring EnvironmentWith(const wchar_t* block,
                             const std::vector<std::pair<std::wstring, std::wstring>>& values);
