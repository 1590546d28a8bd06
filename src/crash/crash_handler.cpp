#include "crash/crash_handler.h"

#include <atomic>
#include <cstdlib>
#include <exception>

#include "crash/crash_report.h"
#include "crash/minidump.h"

namespace {

// Ids of the threads now running the filter. A fault inside the filter comes
// back into it on the same thread; that must end the process, not start a
// second report. Other threads are not held back: each failing thread
// reports on its own, up to the number of slots. Plain atomics in static
// storage: the guard itself allocates nothing and takes no lock, so it works
// on a corrupted heap and on a thread that never ran the C++ runtime
// (thread_local would, with this toolchain, allocate on first use and take a
// lock the first time in the process).
constexpr size_t kReportingSlots = 8;
std::atomic<DWORD> reportingThreads[kReportingSlots];
static_assert(std::atomic<DWORD>::is_always_lock_free, "the guard must not take a lock");

// Claims a slot for this thread. False when the thread is already reporting
// (a fault inside the filter) or every slot is taken.
bool EnterReport() {
  DWORD self = GetCurrentThreadId();
  for (std::atomic<DWORD>& slot : reportingThreads) {
    if (slot.load() == self) return false;
  }
  for (std::atomic<DWORD>& slot : reportingThreads) {
    DWORD expected = 0;
    if (slot.compare_exchange_strong(expected, self)) return true;
  }
  return false;
}

// Writes, uploads and deletes the dump. Any C++ exception (memory exhausted
// while the body is built, for one) counts as a failed step.
void ReportCrash(EXCEPTION_POINTERS* exceptionPointers) noexcept {
  std::string dumpPath;
  try {
    const CrashHandler& handler = CrashHandler::Instance();
    dumpPath = WriteMinidumpInto(handler.DumpFolder, exceptionPointers);
    if (dumpPath.empty()) return;
    UploadCrashReport(handler.Attachments, dumpPath, handler.UploadUrl);
  } catch (...) {
  }
  if (!dumpPath.empty()) DeleteFileA(dumpPath.c_str());
}

// Where the C++ runtime handles an uncaught exception itself (the process's
// main thread, for one), it calls std::terminate instead of letting the
// exception reach the unhandled-exception filter; std::terminate also ends
// other fatal runtime errors. This hands those to the filter with the
// terminating thread's context. On threads the runtime did not start (the
// service main thread, started by the service control dispatcher), an
// uncaught C++ exception reaches the filter directly, with the compiler's own
// exception code instead.
[[noreturn]] void OnTerminate() {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = CrashHandler::UncaughtCppExceptionCode;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  CONTEXT context{};
  RtlCaptureContext(&context);
  EXCEPTION_POINTERS pointers{&record, &context};
  CrashHandler::OnUnhandledException(&pointers);
  std::abort();
}

}  // namespace

CrashHandler::CrashHandler() : DumpFolder(CrashFolder()) {
  PrepareMinidumpWriter();
  SetUnhandledExceptionFilter(OnUnhandledException);
  std::set_terminate(OnTerminate);
}

CrashHandler& CrashHandler::Instance() {
  // Never destroyed: the filter and the terminate route stay installed until
  // the process is gone, so a fault while the process exits must still find
  // the configuration.
  static CrashHandler* const handler = new CrashHandler();
  return *handler;
}

LONG WINAPI CrashHandler::OnUnhandledException(EXCEPTION_POINTERS* exceptionPointers) {
  if (EnterReport()) ReportCrash(exceptionPointers);
  std::abort();
}
