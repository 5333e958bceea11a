#!/usr/bin/env bash
# In-tree build for development: compiles the modules into BUILD/pkg/vexal/circuit
# next to links to the Python sources, so that PYTHONPATH=BUILD/pkg runs the tests
# without installing.  Usage: tools/devbuild.sh [BUILD] [extra cmake args]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
shift || true
pkg=$build/pkg/vexal/circuit
mkdir -p "$pkg"
ln -sfn "$root/src/vexal/__init__.py" "$build/pkg/vexal/__init__.py"
for f in "$root"/src/vexal/circuit/*.py; do ln -sfn "$f" "$pkg/$(basename "$f")"; done
cmake -S "$root" -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DVEXAL_DEV_PACKAGE_DIR="$pkg" "$@" >/dev/null
ninja -C "$build/cmake" >&2
echo "PYTHONPATH=$build/pkg"
