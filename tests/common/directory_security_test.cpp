// The service's folder access list, set and read back through the system.
#include "common/directory_security.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace {

struct Entry {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  std::wstring sid;
};

std::vector<Entry> ReadEntries(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  EXPECT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &raw),
            static_cast<DWORD>(ERROR_SUCCESS));
  UniqueLocalMemory descriptor(raw);
  std::vector<Entry> entries;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    GetAce(dacl, i, &ace);
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(&allowed->SidStart, &text);
    UniqueLocalMemory owned(text);
    entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask, text});
  }
  return entries;
}

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::string Describe(const std::vector<Entry>& entries) {
  std::string text;
  for (const Entry& entry : entries) {
    char line[64];
    snprintf(line, sizeof line, " type %d flags 0x%x mask 0x%lx ", entry.type, entry.flags,
             static_cast<unsigned long>(entry.mask));
    text += line + std::string(entry.sid.begin(), entry.sid.end()) + ";";
  }
  return text;
}

// What is read back from a folder given the protected list. Wine keeps only
// what Unix permissions can hold: Administrators come back as the current
// user, Users are dropped and the protected flag is lost; what it must keep
// is that nobody but LocalSystem and that account may write.
void ExpectOnlyTrustedMayWrite(const std::wstring& path) {
  bool systemFull = false;
  std::vector<Entry> entries = ReadEntries(path);
  SCOPED_TRACE(Describe(entries));
  for (const Entry& entry : entries) {
    ASSERT_EQ(entry.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(entry.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    if (entry.sid == L"S-1-5-18") {
      systemFull = entry.mask == FILE_ALL_ACCESS;
    } else if (entry.sid != L"S-1-5-32-544" && entry.sid.rfind(L"S-1-5-21-", 0) != 0) {
      EXPECT_EQ(entry.mask & kWriteRights, 0u) << std::string(entry.sid.begin(), entry.sid.end());
    }
  }
  EXPECT_TRUE(systemFull);
  EXPECT_FALSE(DirectoryGrantsOthersWrite(path));
}

TEST(DirectorySecurity, TheProtectedListReadsBackAsSet) {
  TempDir dir;
  std::wstring created = (dir / L"created").wstring();
  ASSERT_TRUE(CreateProtectedDirectory(created)) << GetLastError();
  ExpectOnlyTrustedMayWrite(created);
  EXPECT_EQ(ProtectExistingDirectory(created), 0);
  EXPECT_FALSE(CreateProtectedDirectory(created));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  std::wstring existing = (dir / L"existing").wstring();
  ASSERT_TRUE(CreateDirectoryW(existing.c_str(), nullptr));
  ASSERT_TRUE(ApplyProtectedDirectoryList(existing)) << GetLastError();
  ExpectOnlyTrustedMayWrite(existing);

  EXPECT_EQ(ProtectExistingDirectory((dir / L"missing").wstring()), -1);
}

// Wine cannot store lists that let others write on a folder, so the
// decision is tried on lists held in memory.
bool GrantsOthersWrite(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  EXPECT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr));
  UniqueLocalMemory descriptor(raw);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted);
  return AccessListGrantsOthersWrite(present ? dacl : nullptr);
}

TEST(DirectorySecurity, ListsThatLetOthersWriteAreFound) {
  EXPECT_FALSE(GrantsOthersWrite(ProtectedDirectorySddl));
  EXPECT_FALSE(GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(A;OICI;FRFX;;;WD)(A;OICI;GA;;;BA)"));
  EXPECT_FALSE(
      GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(D;OICI;FA;;;BU)"));  // a denial grants nothing
  // ProgramData's own list: users may add files and folders, creators own them.
  EXPECT_TRUE(GrantsOthersWrite(
      L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
      L"(A;CI;0x100116;;;BU)"));
  EXPECT_TRUE(GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)"));
  EXPECT_TRUE(GrantsOthersWrite(L"D:(A;OICI;0x1301bf;;;AU)"));
  EXPECT_TRUE(GrantsOthersWrite(L"D:(A;OICI;WD;;;WD)"));  // write-DAC alone is enough
  EXPECT_TRUE(AccessListGrantsOthersWrite(nullptr));      // no list at all
}

}  // namespace
