#pragma once

#include <string>

// The Windows path under which Wine shows a Linux path (Z: is /), for
// programs the build made that a test starts or copies.
std::wstring WinePathOf(const std::string& unixPath);
