#!/usr/bin/env bash
# Installs the Debian 12 packages Kelvara needs to build, run and test, when they are missing.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libdcmtk-dev dcmtk libssl-dev openssl
    fonts-liberation2
    qt6-translations-l10n locales
    xvfb xauth openbox imagemagick python3 desktop-file-utils
    lintian devscripts dpkg-dev file fakeroot
    "$@"
)
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# The program is German: its tests also run under de_DE.UTF-8, where the C library speaks German.
ensure_german_locale() {
    locale -a 2>/dev/null | grep -qix 'de_DE.utf8' && return 0
    $sudo sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
}

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
ensure_german_locale
