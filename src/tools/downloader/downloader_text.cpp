#include "tools/downloader/downloader_text.h"

std::wstring ReleaseNameFromUrl(std::wstring_view url) {
  std::wstring_view path = url.substr(0, url.find_first_of(L"?#"));
  size_t slash = path.find_last_of(L'/');
  std::wstring_view last = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
  return std::wstring(last.empty() ? url : last);
}

std::wstring SizeText(uint64_t bytes) {
  constexpr uint64_t kKilobyte = 1024;
  constexpr uint64_t kMegabyte = 1024 * kKilobyte;
  if (bytes < kMegabyte) return std::to_wstring(bytes / kKilobyte) + L" KB";
  const uint64_t tenths = bytes * 10 / kMegabyte;
  return std::to_wstring(tenths / 10) + L"." + std::to_wstring(tenths % 10) + L" MB";
}

std::wstring DownloadStepText(uint64_t received, uint64_t total) {
  return L"Downloading: " + SizeText(received) + L" of " + SizeText(total);
}
