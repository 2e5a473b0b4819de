#!/usr/bin/env bash
# Renders the main window with each page, and the About box, under Xvfb into
# docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test-tools
cmake -S . -B build-shots -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-shots -j"$(nproc)" --target screenshots fido-otp-sim
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1024x768x24" \
  ./build-shots/tests/e2e/screenshots ./build-shots/sim/fido-otp-sim docs/screenshots
