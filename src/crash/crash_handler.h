#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The crash-report configuration of the process and the filter that acts on
// it. Once armed (by the first Instance()), an exception that no handler
// takes, on any thread, writes a minidump, posts it with the attachments to
// UploadUrl, deletes it and ends the process with abort().
class CrashHandler {
 public:
  // Exception code in the dump when std::terminate ends the process: a C++
  // exception that nothing caught on a thread where the runtime turns it into
  // std::terminate, or any other call of std::terminate. An uncaught C++
  // exception on a thread the runtime did not start keeps the compiler's own
  // exception code.
  static constexpr DWORD UncaughtCppExceptionCode = 0xE0000001;

  // The process-wide handler. The first call installs OnUnhandledException
  // as the unhandled-exception filter, replacing (not chaining) any other,
  // and routes std::terminate into it. The handler is never destroyed, so it
  // stays armed until the process is gone.
  static CrashHandler& Instance();

  // The process's unhandled-exception filter. Runs on the failing thread,
  // takes no lock and never returns.
  static LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exceptionPointers);

  // Endpoint of the crash reports; empty until configured.
  std::string UploadUrl;
  // Files sent with every report, in order; read only, never changed.
  std::vector<std::string> Attachments;
  // Where dumps are written (CrashFolder()), found when the handler is armed
  // so the crash path does not ask the shell.
  const std::string DumpFolder;

 private:
  CrashHandler();
  CrashHandler(const CrashHandler&) = delete;
  CrashHandler& operator=(const CrashHandler&) = delete;
};
