#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need, when any is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev     # Qt 6 Widgets
  libgtest-dev libgmock-dev libbenchmark-dev    # tests and benchmarks
  xvfb xauth fonts-dejavu-core x11-utils imagemagick  # windows without a desktop, Cyrillic glyphs, screenshots
  dpkg-dev appstream desktop-file-utils libxml2-utils groff-base lintian  # the package and its checks
  qt6-translations-l10n                         # Qt's own Russian texts, which the window loads
  libhidapi-dev                                 # only the yardstick of the kernel tests' scan figures
)

# node and npm play an Ember+ consumer we did not write in one test, which is skipped without them. By
# command, not by package: a machine may have them from elsewhere (NodeSource's nodejs carries its own
# npm, which Debian's npm package cannot be installed beside).
optional=()
command -v node >/dev/null 2>&1 || optional+=(nodejs)
command -v npm >/dev/null 2>&1 || optional+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ ${#optional[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ${#optional[@]} -gt 0 ]; then
  echo "Installing: ${optional[*]}"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${optional[@]}" ||
    echo "install-deps: ${optional[*]} could not be installed: the Ember+ consumer test will be skipped" >&2
fi
