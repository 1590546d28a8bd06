// Test helper: arms crash reporting the way the service does, then fails.
//   crasher.exe <upload url> <log folder> <fault>
// fault "thread-av": an access violation on a second thread;
//       "throw": a C++ exception that nothing catches, on the main thread;
//       "raw-thread-throw": the same on a thread made by CreateThread;
//       "exit-av": an access violation while the process exits.
// Returns 2 on bad arguments and 1 if it survives its own fault.
#include <windows.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "common/unique_handle.h"
#include "crash/crash_handler.h"
#include "log/service_log.h"

namespace {

void WriteThroughNull() {
  // Volatile on both levels, or the compiler drops the store.
  volatile int* volatile target = nullptr;
  *target = 1;
}

DWORD WINAPI Throw(void*) { throw std::runtime_error("nobody catches this either"); }

// Faults in its destructor, which runs during exit after every static made
// later than it is gone.
struct FaultsAtExit {
  ~FaultsAtExit() { WriteThroughNull(); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::string fault = argv[3];
  if (fault == "exit-av") static FaultsAtExit faultsAtExit;
  ServiceLog log(argv[2]);
  CrashHandler& handler = CrashHandler::Instance();
  handler.UploadUrl = argv[1];
  handler.Attachments.push_back(log.LogPath);
  log.Print("Crasher about to fail with %s", argv[3]);

  if (fault == "thread-av") {
    std::thread(WriteThroughNull).join();
  } else if (fault == "throw") {
    throw std::runtime_error("nobody catches this");
  } else if (fault == "raw-thread-throw") {
    UniqueKernelHandle thread(CreateThread(nullptr, 0, Throw, nullptr, 0, nullptr));
    if (thread) WaitForSingleObject(thread.get(), INFINITE);
  } else if (fault == "exit-av") {
    return 0;
  } else {
    return 2;
  }
  return 1;
}
