#!/usr/bin/env bash
# Installs every Debian package Parcelwright needs to build, test and benchmark.
# Idempotent: when everything is already installed it returns in a second or two.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 xvfb xauth xdg-utils fonts-dejavu-core
  libcli11-dev
  libewf-dev ewf-tools
  zlib1g-dev libz-mingw-w64-dev
  e2fsprogs
  libgmime-3.0-dev libxml2-dev nettle-dev python3
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  meson autoconf automake autopoint libtool gtk-doc-tools zip
  dosfstools mtools
  clang libclang-rt-14-dev
  dpkg-dev fakeroot lintian desktop-file-utils appstream man-db bash-completion
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The Windows programs' libraries are built from Debian's source packages
# (scripts/windows-deps.sh): apt needs a deb-src entry beside each deb one.
update=""
if [ -z "$(apt-cache showsrc --only-source glib2.0 2>/dev/null)" ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee /etc/apt/sources.list.d/parcelwright-src.sources >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/parcelwright-src.list >/dev/null
  fi
  echo "setup: added deb-src entries"
  update=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  [ -z "$update" ] || $SUDO apt-get update -qq
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
