#include "crash/dump_file_name.h"

#include <cstdio>

#include "crash/crash_report_body.h"

std::string ExecutableBaseName(const std::string& modulePath) {
  std::string name = LastPathComponent(modulePath);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string DumpFileName(const std::string& baseName, int year, int month, int day, int hour,
                         int minute, int second) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d_%02d%02d%02d", year, month, day, hour, minute,
                second);
  return baseName + "_stack_" + stamp + ".dmp";
}
