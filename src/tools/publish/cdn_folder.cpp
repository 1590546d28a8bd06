#include "tools/publish/cdn_folder.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>

#include "common/hex_digits.h"
#include "update/md5.h"

namespace fs = std::filesystem;

namespace {

// A whole decimal number without sign, or false.
bool ParseDecimal(const std::string& text, int64_t maximum, int64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  value = std::stoll(text);
  return value <= maximum;
}

}  // namespace

int32_t ParseRevision(const std::string& text, const char* what) {
  int64_t value = 0;
  if (!ParseDecimal(text, INT32_MAX, value) || value < 1) {
    throw PublishError(std::string(what) + " must be a revision from 1 to 2147483647, not '" +
                       text + "'");
  }
  return static_cast<int32_t>(value);
}

int32_t ParseChance(const std::string& text) {
  int64_t value = 0;
  if (!ParseDecimal(text, 100, value)) {
    throw PublishError("--chance must be a percentage from 0 to 100, not '" + text + "'");
  }
  return static_cast<int32_t>(value);
}

bool IsObsVersion(const std::string& text) {
  size_t start = 0;
  for (int part = 0; part < 3; ++part) {
    size_t end = part < 2 ? text.find('.', start) : text.size();
    if (end == std::string::npos) return false;
    int64_t value = 0;
    if (!ParseDecimal(text.substr(start, end - start), INT32_MAX, value)) return false;
    start = end + 1;
  }
  return true;
}

bool IsUpperCaseMd5(const std::string& text) { return IsUpperHex(text, 32); }

fs::path CdnFileForUrl(const fs::path& cdn, const std::string& url) {
  size_t scheme = url.find("://");
  size_t pathStart = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  if (scheme == std::string::npos || pathStart == std::string::npos) {
    throw PublishError("the URL '" + url + "' has no path to a file");
  }
  std::string path = url.substr(pathStart + 1, url.find_first_of("?#", pathStart) - pathStart - 1);
  fs::path relative = fs::path(path).lexically_normal();
  if (path.empty() || path.back() == '/' || relative.empty() || relative.is_absolute() ||
      *relative.begin() == "..") {
    throw PublishError("the URL '" + url + "' does not name a file inside the CDN folder");
  }
  return cdn / relative;
}

void WriteFileAtomically(const fs::path& path, const std::string& bytes) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) {
    throw PublishError("cannot create " + path.parent_path().string() + ": " + error.message());
  }
  std::random_device random;
  fs::path temporary = path;
  temporary += ".tmp" + std::to_string(random());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      fs::remove(temporary, error);
      throw PublishError("cannot write " + temporary.string());
    }
  }
  fs::rename(temporary, path, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw PublishError("cannot replace " + path.string() + ": " + error.message());
  }
}

std::string ReadWholeFile(const fs::path& path, bool& found) {
  std::error_code error;
  found = fs::exists(path, error);
  if (!found) return {};
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || !in.is_open()) throw PublishError("cannot read " + path.string());
  return bytes;
}

std::string FileMd5(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PublishError("cannot read " + path.string());
  Md5 md5;
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    md5.Update(buffer.data(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw PublishError("cannot read " + path.string());
  const Md5::Digest digest = md5.Final();
  return HexDigits(digest.data(), digest.size(), /*upper=*/true);
}

std::vector<FolderFile> HashFolder(const fs::path& folder) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    throw PublishError("the plugin folder " + folder.string() + " does not exist");
  }
  std::vector<FolderFile> files;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_regular_file()) continue;
    std::string relative = it->path().lexically_relative(folder).generic_u8string();
    files.push_back({relative, FileMd5(it->path())});
  }
  if (error) throw PublishError("cannot list " + folder.string() + ": " + error.message());
  if (files.empty()) throw PublishError("the plugin folder " + folder.string() + " holds no files");
  std::sort(files.begin(), files.end(),
            [](const FolderFile& a, const FolderFile& b) { return a.file < b.file; });
  return files;
}
