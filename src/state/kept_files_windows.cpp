// The kept-file I/O over Win32 (see kept_files.h).
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <string>

#include "common/unique_handle.h"
#include "state/kept_files.h"

namespace fs = std::filesystem;

namespace {

// "<api> failed, GetLastError = <error>", into `error` when given; false.
bool Failed(const char* api, DWORD code, std::string* error) {
  if (error != nullptr) {
    *error = std::string(api) + " failed, GetLastError = " + std::to_string(static_cast<int>(code));
  }
  return false;
}

KeptFile Unreadable(std::string error) {
  KeptFile file;
  file.status = KeptFile::Status::Unreadable;
  file.error = std::move(error);
  return file;
}

// Only LocalSystem and Administrators may open what the service keeps, not
// the users who may list the folder: whoever can read a file can also hold
// it open without sharing, and a trust file that cannot be read stops every
// update until it is let go, while one that cannot be replaced keeps the
// old value.
constexpr wchar_t KeptFileSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace

KeptFile ReadKeptFile(const fs::path& stateDirectory, const std::string& name) {
  const fs::path path = stateDirectory / name;
  // Shared for everything: the service's own writer replaces the file by a
  // rename, which a reader must not stand in the way of.
  UniqueFileHandle handle(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return {};
    std::string error;
    Failed("CreateFileW", code, &error);
    return Unreadable(error);
  }
  return ReadWholeKeptFile([&](char* buffer, size_t size, size_t& got, std::string& error) {
    DWORD read = 0;
    if (!ReadFile(handle.get(), buffer, static_cast<DWORD>(size), &read, nullptr)) {
      return Failed("ReadFile", GetLastError(), &error);
    }
    got = read;
    return true;
  });
}

bool WriteKeptFile(const fs::path& stateDirectory, const std::string& name,
                   const std::string& bytes, std::string* error) {
  const fs::path target = stateDirectory / name;
  const fs::path fresh = stateDirectory / (name + ".new");
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(KeptFileSddl, SDDL_REVISION_1,
                                                            &rawDescriptor, nullptr)) {
    return Failed("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError(), error);
  }
  UniqueLocalMemory descriptor(rawDescriptor);
  SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
  // What a crash left under this name goes first: a file that is replaced
  // in place keeps its old list.
  DeleteFileW(fresh.c_str());
  {
    UniqueFileHandle file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, &security, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return Failed("CreateFileW", GetLastError(), error);
    for (size_t done = 0; done < bytes.size();) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
      if (!WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
        const DWORD code = GetLastError();
        file.reset();
        DeleteFileW(fresh.c_str());
        return Failed("WriteFile", code, error);
      }
      done += wrote;
    }
    if (!FlushFileBuffers(file.get())) {
      const DWORD code = GetLastError();
      file.reset();
      DeleteFileW(fresh.c_str());
      return Failed("FlushFileBuffers", code, error);
    }
  }
  if (!MoveFileExW(fresh.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    DeleteFileW(fresh.c_str());
    return Failed("MoveFileExW", code, error);
  }
  return true;
}

bool RemoveKeptFile(const fs::path& stateDirectory, const std::string& name, std::string* error) {
  const fs::path path = stateDirectory / name;
  if (DeleteFileW(path.c_str())) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
  return Failed("DeleteFileW", code, error);
}
