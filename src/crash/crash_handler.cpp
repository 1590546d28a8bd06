#include "crash/crash_handler.h"

#include <cstdlib>
#include <exception>

#include "crash/crash_report.h"
#include "crash/minidump.h"

namespace {

// Set while this thread runs the filter. A fault inside the filter comes
// back into it on the same thread; that must end the process, not start a
// second report. Other threads are not held back: each failing thread
// reports on its own.
thread_local bool inFilter = false;

// Writes, uploads and deletes the dump. Any C++ exception (memory exhausted
// while the body is built, for one) counts as a failed step.
void ReportCrash(EXCEPTION_POINTERS* exceptionPointers) noexcept {
  std::string dumpPath;
  try {
    dumpPath = WriteMinidump(exceptionPointers);
    if (dumpPath.empty()) return;
    const CrashHandler& handler = CrashHandler::Instance();
    UploadCrashReport(handler.Attachments, dumpPath, handler.UploadUrl);
  } catch (...) {
  }
  if (!dumpPath.empty()) DeleteFileA(dumpPath.c_str());
}

// With this toolchain a C++ exception that nothing catches never reaches the
// unhandled-exception filter: the runtime calls std::terminate instead. This
// hands such failures to the filter with the terminating thread's context.
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

CrashHandler::CrashHandler() {
  SetUnhandledExceptionFilter(OnUnhandledException);
  std::set_terminate(OnTerminate);
}

CrashHandler& CrashHandler::Instance() {
  static CrashHandler handler;
  return handler;
}

LONG WINAPI CrashHandler::OnUnhandledException(EXCEPTION_POINTERS* exceptionPointers) {
  if (!inFilter) {
    inFilter = true;
    ReportCrash(exceptionPointers);
  }
  std::abort();
}
