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

  // Any order.
  ASSERT_TRUE(
      ParseDownloaderArguments(L"/pathToObs64='o' /url='u' /pluginFolder='p'", arguments, error));
  EXPECT_EQ(arguments.url, L"u");
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
}

TEST(DownloaderArguments, TheInstallerGetsItsFolderLastAndUnquoted) {
  EXPECT_EQ(InstallerCommandLine(L"C:\\Users\\A B\\Temp\\x\\PluginInstaller.exe",
                                 L"C:\\Program Files\\obs-studio\\obs-plugins\\64bit"),
            L"\"C:\\Users\\A B\\Temp\\x\\PluginInstaller.exe\" /S "
            L"/D=C:\\Program Files\\obs-studio\\obs-plugins\\64bit");
}

TEST(CommandLine, QuotesTheProgramAndFindsTheArgumentsAfterIt) {
  EXPECT_EQ(QuotedCommandLine(L"C:\\Program Files\\obs64.exe", L""),
            L"\"C:\\Program Files\\obs64.exe\"");
  EXPECT_EQ(QuotedCommandLine(L"C:\\A B\\UserLaunch.exe", L"/url='x y'"),
            L"\"C:\\A B\\UserLaunch.exe\" /url='x y'");
  EXPECT_EQ(ArgumentsAfterProgram(L"\"C:\\A B\\x.exe\"  /url='a  b' "), L"/url='a  b' ");
  EXPECT_EQ(ArgumentsAfterProgram(L"x.exe\t/url='a'"), L"/url='a'");
  EXPECT_EQ(ArgumentsAfterProgram(L"x.exe"), L"");
  EXPECT_EQ(ArgumentsAfterProgram(L"\"unterminated"), L"");
}

TEST(DownloaderText, EncodesTheUrlAndNamesTheRelease) {
  EXPECT_EQ(UrlForRequest("http://h/r\xC3\xA9 1.exe?a=%20"), "http://h/r%C3%A9%201.exe?a=%20");
  EXPECT_EQ(ReleaseNameFromUrl(L"https://cdn/obsplugin/plugin-140.exe?x=/y#z"), L"plugin-140.exe");
  EXPECT_EQ(ReleaseNameFromUrl(L"https://cdn/"), L"https://cdn/");
  EXPECT_EQ(BytesReceivedText(12345, 1048576), L"12,345 of 1,048,576 bytes received");
  EXPECT_EQ(BytesReceivedText(0, 999), L"0 of 999 bytes received");
}

TEST(DownloaderText, TheLogKeepsItsNewestWholeLinesWithinTheLimit) {
  const std::string text = "one\ntwo\nthree\n";
  EXPECT_EQ(NewestLinesWithin(text, 4, 100), text);
  EXPECT_EQ(NewestLinesWithin(text, 4, 4 + 10), "two\nthree\n");  // room ends at a line start
  EXPECT_EQ(NewestLinesWithin(text, 4, 4 + 9), "three\n");        // cut inside "two": it goes
  EXPECT_EQ(NewestLinesWithin(text, 4, 4 + 5), "");               // "three\n" is 6
  EXPECT_EQ(NewestLinesWithin(text, 200, 100), "");
}

}  // namespace
