#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/build_config.h"

namespace {

// A minidump endpoint: a 16-digit project number and a 32-digit lower-case
// hexadecimal key.
TEST(CrashReportUrlTest, ProductionEndpointHasTheMinidumpShape) {
  const std::regex shape(R"(https://[a-z0-9.-]+/api/[0-9]{16}/minidump/\?sentry_key=[0-9a-f]{32})");
  EXPECT_TRUE(std::regex_match(std::string(DefaultCrashReportUrl), shape)) << DefaultCrashReportUrl;
}

}  // namespace
