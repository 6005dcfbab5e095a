#!/usr/bin/env bash
# Installs the Debian packages Palaver needs to build and test, only those missing.
set -euo pipefail

# Extra groups on request: "fuzz" (clang with libFuzzer), "desktop" (a real X display with a
# window manager, for the scripts in scripts/), "windows" (mingw-w64 for sumcore.dll).
packages=(cmake make g++ binutils qt6-base-dev libgl-dev zlib1g-dev fonts-dejavu-core fonts-noto-color-emoji
          libminiupnpc-dev libnatpmp-dev miniupnpd-nftables nftables iproute2
          libqt6sql6-sqlite libssl-dev dbus avahi-daemon desktop-file-utils appstream dpkg-dev file)
for group in "$@"; do
    case "$group" in
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    desktop) packages+=(xvfb openbox xdotool x11-utils xclip imagemagick python3 dunst dbus-x11) ;;
    windows) packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64) ;;
    *) echo "unknown package group: $group" >&2; exit 2 ;;
    esac
done
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
else
    SUDO=(sudo)
fi
"${SUDO[@]}" apt-get update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
