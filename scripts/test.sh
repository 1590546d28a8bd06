#!/usr/bin/env bash
# Installs what is missing, builds both presets and runs every test: the
# Windows programs under Wine, the portable code natively under ASan/UBSan,
# then the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

# Test builds talk to loopback only; the tests serve the CDN on these ports
# (other values let two checkouts run their tests side by side).
cdn_port=${LUMENFELD_TEST_CDN_PORT:-18093}
tls_port=${LUMENFELD_TEST_TLS_PORT:-18095}
cmake --preset windows \
  -DLUMENFELD_CDN_BASE_URL=http://127.0.0.1:$cdn_port -DLUMENFELD_TEST_CDN_PORT=$cdn_port \
  -DLUMENFELD_TEST_TLS_PORT=$tls_port -DLUMENFELD_CRASH_REPORT_URL=http://127.0.0.1:9/crash
cmake --build --preset windows -j"$jobs"
cmake --preset native
cmake --build --preset native -j"$jobs"

source scripts/wine-env.sh
ctest --preset windows -j"$jobs"
ctest --preset native -j"$jobs"
scripts/fuzz.sh "${LUMENFELD_FUZZ_SECONDS:-60}"
