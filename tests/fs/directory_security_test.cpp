// The service's folder access list, set and read back through the system.
#include "fs/directory_security.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "common/temp_dir.h"

namespace {

constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Reads the list back. Wine keeps only what Unix permissions hold:
// Administrators come back as the current user, Users are dropped and the
// protected flag is lost. What must hold is that LocalSystem has full
// control and nobody but it and that account may write.
void ExpectOnlyTrustedMayWrite(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &raw),
            static_cast<DWORD>(ERROR_SUCCESS));
  UniqueLocalMemory descriptor(raw);
  bool systemFull = false;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE),
              OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(&ace->SidStart, &text);
    UniqueLocalMemory owned(text);
    std::wstring sid = text;
    if (sid == L"S-1-5-18") systemFull = ace->Mask == FILE_ALL_ACCESS;
    if (sid != L"S-1-5-18" && sid != L"S-1-5-32-544" && sid.rfind(L"S-1-5-21-", 0) != 0) {
      EXPECT_EQ(ace->Mask & kWriteRights, 0u);
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

// Wine cannot store a list that lets others write on a folder, so the
// decision is tried on lists held in memory.
bool GrantsOthersWrite(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  EXPECT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr));
  UniqueLocalMemory descriptor(raw);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted);
  return AccessListGrantsOthersWrite(dacl);
}

TEST(DirectorySecurity, ListsThatLetOthersWriteAreFound) {
  EXPECT_FALSE(GrantsOthersWrite(ProtectedDirectorySddl));
  EXPECT_FALSE(GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(A;OICI;FRFX;;;WD)(A;OICI;GA;;;BA)"));
  EXPECT_FALSE(GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(D;OICI;FA;;;BU)"));  // denies grant nothing
  // ProgramData's own list: users add files and folders, creators own them.
  EXPECT_TRUE(GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"));
  EXPECT_TRUE(GrantsOthersWrite(L"D:(A;OICI;FA;;;SY)(A;CI;0x100116;;;BU)"));
  EXPECT_TRUE(GrantsOthersWrite(L"D:(A;OICI;WD;;;WD)"));  // write-DAC alone is enough
  EXPECT_TRUE(AccessListGrantsOthersWrite(nullptr));      // no list at all
}

bool LetsOthersChange(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &raw, nullptr));
  UniqueLocalMemory descriptor(raw);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted);
  GetSecurityDescriptorOwner(raw, &owner, &defaulted);
  return LetsOthersChange(owner, dacl);
}

// Whether an OBS folder needs an administrator's rights to change: lists
// as Windows gives them to a folder under Program Files, at a drive's root
// and under ProgramData, and owners.
TEST(DirectorySecurity, FoldersOthersMayChangeAreFoundByOwnerAndList) {
  const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  EXPECT_FALSE(LetsOthersChange(L"O:" + installer + L"D:P(A;OICI;FA;;;" + installer +
                                L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)"
                                L"(A;OICI;FRFX;;;BU)"));
  EXPECT_FALSE(LetsOthersChange(L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)"));
  EXPECT_TRUE(LetsOthersChange(L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)"));
  EXPECT_TRUE(LetsOthersChange(L"O:SYD:(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;CI;0x100116;;;BU)"));
  EXPECT_TRUE(LetsOthersChange(L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;SY)"));  // a user's own
  EXPECT_TRUE(LetsOthersChange(L"O:SY"));                                     // no list

  // What cannot be read lends nothing either (folders Wine reads as open to
  // all are tried in launch_handler_test).
  bool readable = true;
  EXPECT_TRUE(FolderLetsOthersChange(L"C:\\no such folder", &readable));
  EXPECT_FALSE(readable);
}

}  // namespace
