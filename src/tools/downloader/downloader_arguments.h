#pragma once

#include <string>
#include <string_view>

// The downloader's argument line:
//   /url='...' /pluginFolder='...' /pathToObs64='...' [/runAs='invoker']
//   [/sha256='<64 hex>' [/staged='<path>']]
// Each value stands in single quotes and is not escaped: it may hold spaces,
// non-ASCII characters and even single quotes. A value ends at the last
// quote before the next " /<option>='" of a known option, or before the end
// of the line (trailing blanks allowed). Options may come in any order.
struct DownloaderArguments {
  std::wstring url;
  std::wstring pluginFolder;
  std::wstring pathToObs64;
  // The installer's SHA-256 in lower case; empty when not given.
  std::wstring sha256;
  // The installer as the service staged it, to be run instead of a
  // download when it passes every check; empty when not given.
  std::wstring staged;
  // "invoker" when the install is to run with nothing but the rights of
  // whoever started the downloader (an OBS folder users may change);
  // empty when not given.
  std::wstring runAs;

  bool asInvoker() const { return runAs == L"invoker"; }
};

// Fills `arguments` from `line`. On false, `error` names what is wrong (an
// unknown, repeated, missing or empty option, a missing opening quote, an
// unterminated value, a /sha256 that is not 64 hexadecimal digits, /staged
// without /sha256, a /runAs other than 'invoker') and `arguments` is partly
// filled.
bool ParseDownloaderArguments(std::wstring_view line, DownloaderArguments& arguments,
                              std::string& error);
