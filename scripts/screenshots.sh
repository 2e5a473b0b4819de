#!/usr/bin/env bash
# Renders the main window with each page, and the About box, under Xvfb into
# docs/screenshots/: NAME.png on a 96-dpi screen, NAME@2x.png on a 192-dpi one.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test-tools
cmake -S . -B build-shots -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-shots -j"$(nproc)" --target screenshots fido-otp-sim
unset QT_QPA_PLATFORM QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
  ./build-shots/tests/e2e/screenshots ./build-shots/service/sim/fido-otp-sim docs/screenshots
xvfb-run -a -s "-screen 0 2048x1536x24 -dpi 192" \
  ./build-shots/tests/e2e/screenshots ./build-shots/service/sim/fido-otp-sim docs/screenshots
