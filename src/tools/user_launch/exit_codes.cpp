#include "tools/user_launch/exit_codes.h"

namespace {
constexpr uint32_t kErrorCancelled = 1223;  // ERROR_CANCELLED: the prompt was declined
}

int UserLaunchFailureCode(uint32_t error) {
  return error == kErrorCancelled ? user_launch_exit::kElevationRefused
                                  : user_launch_exit::kNotStarted;
}
