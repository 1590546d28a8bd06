#include "state/kept_files.h"

#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

std::optional<std::string> ReadKeptFile(const fs::path& stateDirectory, const std::string& name) {
  std::ifstream in(stateDirectory / name, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(MaxKeptFileSize + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > MaxKeptFileSize) return std::nullopt;
  return text;
}

bool WriteKeptFile(const fs::path& stateDirectory, const std::string& name,
                   const std::string& bytes) {
  const fs::path target = stateDirectory / name;
  const fs::path temporary = stateDirectory / (name + ".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      out.close();
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return false;
    }
  }
  // The rename replaces the old file in one step (MoveFileExW with
  // MOVEFILE_REPLACE_EXISTING on Windows).
  std::error_code error;
  fs::rename(temporary, target, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  }
  return true;
}

bool RemoveKeptFile(const fs::path& stateDirectory, const std::string& name) {
  std::error_code error;
  fs::remove(stateDirectory / name, error);
  return !error;
}
