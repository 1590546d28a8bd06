// The kept-file I/O over POSIX calls (see kept_files.h), for the native
// build of the portable code: the same contract, with fsync where Windows
// flushes the file and writes the move through.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "state/kept_files.h"

namespace fs = std::filesystem;

namespace {

// "<call> failed, errno = <code>", into `error` when given; false.
bool Failed(const char* call, int code, std::string* error) {
  if (error != nullptr) *error = std::string(call) + " failed, errno = " + std::to_string(code);
  return false;
}

KeptFile Unreadable(const char* call, int code) {
  KeptFile file;
  file.status = KeptFile::Status::Unreadable;
  Failed(call, code, &file.error);
  return file;
}

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes it; the close's errno when that failed, else 0.
  int reset() {
    int code = 0;
    if (fd_ >= 0 && close(fd_) != 0) code = errno;
    fd_ = -1;
    return code;
  }

 private:
  int fd_;
};

}  // namespace

KeptFile ReadKeptFile(const fs::path& stateDirectory, const std::string& name) {
  Descriptor fd(open((stateDirectory / name).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    const int code = errno;
    if (code == ENOENT || code == ENOTDIR) return {};
    return Unreadable("open", code);
  }
  return ReadWholeKeptFile([&](char* buffer, size_t size, size_t& got, std::string& error) {
    ssize_t read = 0;
    do {
      read = ::read(fd.get(), buffer, size);
    } while (read < 0 && errno == EINTR);
    if (read < 0) return Failed("read", errno, &error);
    got = static_cast<size_t>(read);
    return true;
  });
}

bool WriteKeptFile(const fs::path& stateDirectory, const std::string& name,
                   const std::string& bytes, std::string* error) {
  const fs::path target = stateDirectory / name;
  const fs::path fresh = stateDirectory / (name + ".new");
  const auto fail = [&](const char* call, int code) {
    unlink(fresh.c_str());
    return Failed(call, code, error);
  };
  Descriptor fd(open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return Failed("open", errno, error);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return fail("write", wrote < 0 ? errno : EIO);
    done += static_cast<size_t>(wrote);
  }
  if (fsync(fd.get()) != 0) return fail("fsync", errno);
  if (const int code = fd.reset()) return fail("close", code);
  if (rename(fresh.c_str(), target.c_str()) != 0) return fail("rename", errno);
  // The rename itself is on the disk once the folder is. The new content is
  // in place whatever this gives, so it cannot fail the write any more.
  Descriptor folder(open(stateDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) fsync(folder.get());
  return true;
}

bool RemoveKeptFile(const fs::path& stateDirectory, const std::string& name, std::string* error) {
  if (unlink((stateDirectory / name).c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) {
    return true;
  }
  return Failed("unlink", errno, error);
}
