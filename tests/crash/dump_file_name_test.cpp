#include "crash/dump_file_name.h"

#include <gtest/gtest.h>

namespace {

TEST(DumpFileNameTest, FixedWidthUtcStamp) {
  EXPECT_EQ(DumpFileName("service", 2027, 2, 3, 7, 5, 9), "service_stack_20270203_070509.dmp");
  EXPECT_EQ(DumpFileName("svc", 1999, 12, 31, 23, 59, 58), "svc_stack_19991231_235958.dmp");
}

TEST(ExecutableBaseNameTest, DropsFolderAndLastExtensionOnly) {
  EXPECT_EQ(ExecutableBaseName("C:\\Program Files\\Lumenfeld\\service.exe"), "service");
  EXPECT_EQ(ExecutableBaseName("C:\\x\\a.b.exe"), "a.b");
  EXPECT_EQ(ExecutableBaseName("C:\\dotted.dir\\noext"), "noext");
  EXPECT_EQ(ExecutableBaseName(""), "");
}

}  // namespace
