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
  nodejs npm                                    # an Ember+ consumer we did not write, for the provider's test
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
