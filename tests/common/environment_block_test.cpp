#include "common/environment_block.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

// A block of `entries`, as the system hands one out.
std::wstring Block(std::initializer_list<const wchar_t*> entries) {
  std::wstring block;
  for (const wchar_t* entry : entries) block += std::wstring(entry) + L'\0';
  return block + L'\0';
}

TEST(EnvironmentBlock, SetsVariablesInPlaceOrInOrderAndKeepsTheRest) {
  const std::wstring block =
      Block({L"=C:=C:\\x", L"Path=C:\\bin", L"temp=C:\\Windows\\Temp", L"windir=C:\\w"});
  EXPECT_EQ(EnvironmentWith(block.c_str(), {{L"TEMP", L"D:\\u"}, {L"TMP", L"D:\\u"}}),
            Block({L"=C:=C:\\x", L"Path=C:\\bin", L"TEMP=D:\\u", L"TMP=D:\\u", L"windir=C:\\w"}));
  EXPECT_EQ(EnvironmentWith(block.c_str(), {{L"ALLUSERSPROFILE", L"a"}}),
            Block({L"=C:=C:\\x", L"ALLUSERSPROFILE=a", L"Path=C:\\bin", L"temp=C:\\Windows\\Temp",
                   L"windir=C:\\w"}));
  EXPECT_EQ(EnvironmentWith(nullptr, {}), std::wstring(2, L'\0'));
}

}  // namespace
