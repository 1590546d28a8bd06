#include "tools/downloader/downloader_arguments.h"

#include <array>

namespace {

struct Option {
  std::wstring_view name;
  const char* label;
  std::wstring DownloaderArguments::*field;
  bool required;
};

constexpr std::array<Option, 6> kOptions{{
    {L"url", "/url", &DownloaderArguments::url, true},
    {L"pluginFolder", "/pluginFolder", &DownloaderArguments::pluginFolder, true},
    {L"pathToObs64", "/pathToObs64", &DownloaderArguments::pathToObs64, true},
    {L"sha256", "/sha256", &DownloaderArguments::sha256, false},
    {L"staged", "/staged", &DownloaderArguments::staged, false},
    {L"runAs", "/runAs", &DownloaderArguments::runAs, false},
}};

// 64 hexadecimal digits, made lower case; false for anything else.
bool NormaliseSha256(std::wstring& value) {
  if (value.size() != 64) return false;
  for (wchar_t& c : value) {
    if (c >= L'A' && c <= L'F') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

size_t SkipBlanks(std::wstring_view line, size_t pos) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  return pos;
}

// True when `pos` starts "/<known option>='".
bool StartsOption(std::wstring_view line, size_t pos) {
  for (const Option& option : kOptions) {
    std::wstring marker = L"/" + std::wstring(option.name) + L"='";
    if (line.substr(pos, marker.size()) == marker) return true;
  }
  return false;
}

// Index of the quote that closes a value starting at `start`: the first
// quote followed by blanks and then the end of the line or another option.
size_t ClosingQuote(std::wstring_view line, size_t start) {
  for (size_t quote = line.find(L'\'', start); quote != std::wstring_view::npos;
       quote = line.find(L'\'', quote + 1)) {
    size_t next = SkipBlanks(line, quote + 1);
    if (next == line.size()) return quote;
    if (next > quote + 1 && StartsOption(line, next)) return quote;
  }
  return std::wstring_view::npos;
}

}  // namespace

bool ParseDownloaderArguments(std::wstring_view line, DownloaderArguments& arguments,
                              std::string& error) {
  std::array<bool, kOptions.size()> seen{};
  size_t pos = SkipBlanks(line, 0);
  while (pos < line.size()) {
    if (line[pos] != L'/') {
      error = "expected an option starting with '/' at character " + std::to_string(pos + 1);
      return false;
    }
    size_t equals = line.find(L'=', pos);
    std::wstring_view name =
        line.substr(pos + 1, equals == std::wstring_view::npos ? 0 : equals - pos - 1);
    size_t index = 0;
    while (index < kOptions.size() && kOptions[index].name != name) ++index;
    if (index == kOptions.size()) {
      error = "unknown option at character " + std::to_string(pos + 1);
      return false;
    }
    const Option& option = kOptions[index];
    if (seen[index]) {
      error = std::string(option.label) + " is given twice";
      return false;
    }
    if (equals + 1 >= line.size() || line[equals + 1] != L'\'') {
      error = std::string(option.label) + " has no opening quote";
      return false;
    }
    size_t start = equals + 2;
    size_t close = ClosingQuote(line, start);
    if (close == std::wstring_view::npos) {
      error = std::string(option.label) + " has no closing quote";
      return false;
    }
    if (close == start) {
      error = std::string(option.label) + " is empty";
      return false;
    }
    arguments.*option.field = std::wstring(line.substr(start, close - start));
    seen[index] = true;
    pos = SkipBlanks(line, close + 1);
  }
  for (size_t i = 0; i < kOptions.size(); ++i) {
    if (!seen[i] && kOptions[i].required) {
      error = std::string(kOptions[i].label) + " is missing";
      return false;
    }
  }
  if (!arguments.sha256.empty() && !NormaliseSha256(arguments.sha256)) {
    error = "/sha256 is not 64 hexadecimal digits";
    return false;
  }
  if (!arguments.runAs.empty() && !arguments.asInvoker()) {
    error = "/runAs is not 'invoker'";
    return false;
  }
  // Only a hash says which installer the staged file must be.
  if (!arguments.staged.empty() && arguments.sha256.empty()) {
    error = "/staged is given without /sha256";
    return false;
  }
  return true;
}
