#!/usr/bin/env bash
# The control panel's browser test: tests/panel/run.sh BUILD_DIR [ARTEFACT_DIR]
# Exits 77 when a tool it needs is missing, so that the caller can install it and run it again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ] || [ ! -x "$1/qorapo" ]; then
  echo "usage: $0 BUILD_DIR [ARTEFACT_DIR] (BUILD_DIR holds qorapo; ARTEFACT_DIR defaults to BUILD_DIR/artefacts)" >&2
  exit 1
fi
build=$(cd "$1" && pwd)
artefacts=${2:-$build/artefacts}
mkdir -p "$artefacts"
artefacts=$(cd "$artefacts" && pwd)

if [ ! -x /usr/bin/chromium ]; then
  echo "$0: /usr/bin/chromium is missing (apt-get install chromium); the panel test drives it" >&2
  exit 77
fi
for tool in node npm; do
  if ! command -v "$tool" >/dev/null; then
    echo "$0: $tool is missing (apt-get install nodejs npm)" >&2
    exit 77
  fi
done

# Only the browser driver comes from npm; it drives Debian's Chromium and downloads no browser. It
# is installed in the build tree, where the test runs from a copy, so the sources stay as cloned.
driver="$build/panel-test"
mkdir -p "$driver"
cp "$here/package.json" "$here/package-lock.json" "$here/panel.test.mjs" "$driver/"
if [ ! -f "$driver/node_modules/playwright-core/package.json" ] ||
   ! cmp -s "$here/package-lock.json" "$driver/node_modules/.package-lock.json.installed"; then
  (cd "$driver" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund)
  cp "$here/package-lock.json" "$driver/node_modules/.package-lock.json.installed"
fi

cd "$driver"
QOR_SOURCE="$(cd "$here/../.." && pwd)" QOR_BUILD="$build" QOR_ARTEFACTS="$artefacts" \
  exec node --test --test-reporter=spec panel.test.mjs
