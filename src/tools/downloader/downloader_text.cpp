#include "tools/downloader/downloader_text.h"

std::string UrlForRequest(std::string_view utf8Url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : utf8Url) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::wstring ReleaseNameFromUrl(std::wstring_view url) {
  std::wstring_view path = url.substr(0, url.find_first_of(L"?#"));
  size_t slash = path.find_last_of(L'/');
  std::wstring_view last = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
  return std::wstring(last.empty() ? url : last);
}

namespace {

std::wstring WithThousands(uint64_t value) {
  std::wstring digits = std::to_wstring(value);
  for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, L',');
  return digits;
}

}  // namespace

std::wstring BytesReceivedText(uint64_t received, uint64_t total) {
  return WithThousands(received) + L" of " + WithThousands(total) + L" bytes received";
}
