#!/usr/bin/env bash
# Installs what is missing, builds Kelvara and runs every test (no display needed).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build"
cd "$top/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)"
