#!/usr/bin/env bash
# Runs the tests against a build with AddressSanitizer and UndefinedBehaviorSanitizer:
# tools/asan-test.sh [pytest args]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pp=$(BUILD_TYPE=Debug "$root/tools/devbuild.sh" "$root/build/asan" -DVEXAL_ASAN=ON -DVEXAL_UBSAN=ON | tail -1)
export $pp
# numpy MemoryError tests ask for huge blocks: let the allocator say no instead of aborting
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
# libstdc++ must be loaded with the sanitizer runtime for C++ exceptions to be intercepted
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
# the tests marked not_under_sanitizer (Python-bound, see tests/conftest.py) are skipped
export VEXAL_SANITIZER=1
cd "$root"
exec python -m pytest -q "${@:-tests}"
