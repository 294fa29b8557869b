#!/usr/bin/env bash
# Builds the Debian package: dist/parcelwright_<version>_amd64.deb (programs, manual, desktop entry,
# AppStream metadata, icon, manual pages, bash completion). Its dependencies are computed from the
# programs by dpkg-shlibdeps. Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh >&2
BUILD=${DEB_BUILD_DIR:-build-deb}
# The same sources make the same package: dates inside it come from the last commit.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH

# Debian's compiler and linker flags (optimisation, hardening); the installed prefix is compiled in
# (the desktop program looks for its manual there).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG \
    -DPW_WERROR=ON -DPW_BUILD_TESTS=OFF -DPW_BUILD_BENCH=OFF >&2
cmake --build "$BUILD" >&2
rm -rf "$BUILD/package"
(cd "$BUILD" && cpack -G DEB -B "$PWD/package") >&2

debs=("$BUILD"/package/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package-deb: cpack made ${#debs[@]} packages, expected one" >&2
    exit 1
fi
mkdir -p dist
cp "${debs[0]}" dist/
echo "dist/$(basename "${debs[0]}")"
