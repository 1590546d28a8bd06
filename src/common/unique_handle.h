#pragma once

#include <userenv.h>
#include <windows.h>

#include <utility>

// Owns one Win32 handle and closes it exactly once. Each kind of handle gets
// an alias that names its close function and the value that means "none",
// so a handle that fails as INVALID_HANDLE_VALUE can never be mistaken for
// one that fails as null. Closing keeps the thread's last-error code.
template <typename Handle, typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  Handle release() { return std::exchange(handle_, Traits::Invalid()); }

  void reset(Handle handle = Traits::Invalid()) {
    if (valid()) {
      DWORD lastError = GetLastError();
      Traits::Close(handle_);
      SetLastError(lastError);
    }
    handle_ = handle;
  }

  // For APIs that return a handle through an out parameter. Closes what is held.
  Handle* put() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct KernelHandleTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
struct FileHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseHandle(h); }
};

// Processes, threads, tokens, events: null means none.
using UniqueKernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;
// Files and Toolhelp snapshots: INVALID_HANDLE_VALUE means none.
using UniqueFileHandle = UniqueHandle<HANDLE, FileHandleTraits>;

struct FindHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { FindClose(h); }
};

// FindFirstFile searches: INVALID_HANDLE_VALUE means none; closed with FindClose.
using UniqueFindHandle = UniqueHandle<HANDLE, FindHandleTraits>;

struct EnvironmentBlockTraits {
  static void* Invalid() { return nullptr; }
  static void Close(void* block) { DestroyEnvironmentBlock(block); }
};

// Blocks from CreateEnvironmentBlock.
using UniqueEnvironmentBlock = UniqueHandle<void*, EnvironmentBlockTraits>;

struct LocalMemoryTraits {
  static HLOCAL Invalid() { return nullptr; }
  static void Close(HLOCAL h) { LocalFree(h); }
};
// Memory the system hands back for LocalFree (security descriptors).
using UniqueLocalMemory = UniqueHandle<HLOCAL, LocalMemoryTraits>;

struct EventSourceTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { DeregisterEventSource(h); }
};
// Event sources from RegisterEventSourceW.
using UniqueEventSource = UniqueHandle<HANDLE, EventSourceTraits>;

struct EnvironmentStringsTraits {
  static wchar_t* Invalid() { return nullptr; }
  static void Close(wchar_t* block) { FreeEnvironmentStringsW(block); }
};
// The process's environment from GetEnvironmentStringsW.
using UniqueEnvironmentStrings = UniqueHandle<wchar_t*, EnvironmentStringsTraits>;
