#include "crash/crash_handler.h"

CrashHandler& CrashHandler::Instance() {
  static CrashHandler handler;
  return handler;
}
