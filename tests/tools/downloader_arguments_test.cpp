#include "tools/downloader/downloader_arguments.h"

#include "common/command_line.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tools/downloader/downloader_text.h"

namespace {

std::string ErrorFor(const std::wstring& line) {
  DownloaderArguments arguments;
  std::string error;
  EXPECT_FALSE(ParseDownloaderArguments(line, arguments, error)) << error;
  return error;
}

TEST(DownloaderArguments, ReadsUnescapedValuesWithSpacesQuotesAndNonAscii) {
  DownloaderArguments arguments;
  std::string error;
  // As the service builds it; a value may even hold "'" and "' /x".
  ASSERT_TRUE(ParseDownloaderArguments(
      L"/url='https://cdn/r\u00e9lease 1.exe' /pluginFolder='C:\\Program Files\\O'Brien's OBS' "
      L"/pathToObs64='C:\\a' /b\\obs64.exe'  ",
      arguments, error))
      << error;
  EXPECT_EQ(arguments.url, L"https://cdn/r\u00e9lease 1.exe");
  EXPECT_EQ(arguments.pluginFolder, L"C:\\Program Files\\O'Brien's OBS");
  EXPECT_EQ(arguments.pathToObs64, L"C:\\a' /b\\obs64.exe");

  EXPECT_FALSE(arguments.asInvoker());

  // Any order.
  ASSERT_TRUE(ParseDownloaderArguments(
      L"/pathToObs64='o' /runAs='invoker' /url='u' /pluginFolder='p'", arguments, error));
  EXPECT_EQ(arguments.url, L"u");
  EXPECT_TRUE(arguments.asInvoker());
}

TEST(DownloaderArguments, NamesWhatIsWrongWithALineItCannotRead) {
  EXPECT_EQ(ErrorFor(L""), "/url is missing");
  EXPECT_EQ(ErrorFor(L"/url='u' /pluginFolder='p'"), "/pathToObs64 is missing");
  EXPECT_EQ(ErrorFor(L"/url='u' /pluginFolder='p' /pathToObs64='o"),
            "/pathToObs64 has no closing quote");
  EXPECT_EQ(ErrorFor(L"/url=u /pluginFolder='p' /pathToObs64='o'"), "/url has no opening quote");
  EXPECT_EQ(ErrorFor(L"/url='u' /url='v' /pluginFolder='p' /pathToObs64='o'"),
            "/url is given twice");
  EXPECT_EQ(ErrorFor(L"/url='' /pluginFolder='p' /pathToObs64='o'"), "/url is empty");
  EXPECT_EQ(ErrorFor(L"url='u'"), "expected an option starting with '/' at character 1");
  EXPECT_EQ(ErrorFor(L"/folder='u'"), "unknown option at character 1");
  EXPECT_EQ(ErrorFor(L"/url='u' /pluginFolder='p' /pathToObs64='o' /runAs='admin'"),
            "/runAs is not 'invoker'");
}

TEST(DownloaderArguments, TheInstallerHashIsOptionalAndMustBe64HexDigits) {
  DownloaderArguments arguments;
  std::string error;
  const std::wstring hash(64, L'C');
  // After a folder whose text looks like an option's start.
  ASSERT_TRUE(ParseDownloaderArguments(
      L"/url='u' /pluginFolder='p' /pathToObs64='C:\\x /sha256=\\obs64.exe' /sha256='" + hash +
          L"'",
      arguments, error))
      << error;
  EXPECT_EQ(arguments.pathToObs64, L"C:\\x /sha256=\\obs64.exe");
  EXPECT_EQ(arguments.sha256, std::wstring(64, L'c'));
  ASSERT_TRUE(ParseDownloaderArguments(L"/url='u' /pluginFolder='p' /pathToObs64='o'",
                                       arguments = {}, error));
  EXPECT_TRUE(arguments.sha256.empty());
  for (const std::wstring& bad : {hash.substr(1), hash + L"0", L"g" + hash.substr(1)}) {
    EXPECT_EQ(ErrorFor(L"/url='u' /pluginFolder='p' /pathToObs64='o' /sha256='" + bad + L"'"),
              "/sha256 is not 64 hexadecimal digits");
  }
}

TEST(DownloaderArguments, TheInstallerGetsItsFolderLastAndUnquoted) {
  EXPECT_EQ(SilentInstallCommandLine(L"C:\\Users\\A B\\Temp\\x\\PluginInstaller.exe",
                                     L"C:\\Program Files\\obs-studio\\obs-plugins\\64bit"),
            L"\"C:\\Users\\A B\\Temp\\x\\PluginInstaller.exe\" /S "
            L"/D=C:\\Program Files\\obs-studio\\obs-plugins\\64bit");
}

TEST(DownloaderText, SizesInKilobytesBelowAMegabyteAndRoundedDown) {
  EXPECT_EQ(SizeText(0), L"0 KB");
  EXPECT_EQ(SizeText(1023), L"0 KB");
  EXPECT_EQ(SizeText(1024 * 1024 - 1), L"1023 KB");
  EXPECT_EQ(SizeText(1024 * 1024), L"1.0 MB");
  EXPECT_EQ(SizeText(100ull * 1024 * 1024 - 1), L"99.9 MB");
  EXPECT_EQ(SizeText(5ull * 1024 * 1024 * 1024), L"5120.0 MB");
  EXPECT_EQ(DownloadStepText(3'355'443, 104'857'600), L"Downloading: 3.1 MB of 100.0 MB");
}

}  // namespace
