#!/usr/bin/env bash
# The package check CI runs: builds the Debian package, checks it with lintian (errors fail),
# unpacks it into a throw-away root, validates the desktop entry, the metadata and the manual
# pages as installed, and compares what the installed scanner finds on the demo image with what
# the build's scanner finds.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD_DIR:-build}
deb=$(bash scripts/package-deb.sh | tail -n 1)
echo "package: $deb"

echo "--- lintian"
lintian --fail-on error --display-info --tag-display-limit 0 "$deb" || {
    echo "check-package: lintian reports errors" >&2
    exit 1
}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

APP_ID=org.parcelwright.Parcelwright
for f in usr/bin/parcelwright usr/bin/parcelwright-cli \
    usr/share/doc/parcelwright/manual.html usr/share/doc/parcelwright/copyright \
    usr/share/applications/$APP_ID.desktop usr/share/metainfo/$APP_ID.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$APP_ID.svg \
    usr/share/man/man1/parcelwright-cli.1.gz usr/share/man/man1/parcelwright.1.gz \
    usr/share/bash-completion/completions/parcelwright-cli; do
    [ -f "$root/$f" ] || fail "the package lacks /$f"
done
find "$root" -perm /6000 -type f | grep -q . && fail "the package holds a setuid or setgid file"

# Dependencies: computed, so the C library and Qt's widgets must be among them; and every
# library the programs load must be found on this system.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libqt6widgets6 libewf; do
    grep -q "$lib" <<<"$depends" || fail "Depends does not name $lib"
done
for exe in "$root"/usr/bin/*; do
    ldd "$exe" | grep 'not found' && fail "$exe: libraries not found"
done

out=$(desktop-file-validate "$root/usr/share/applications/$APP_ID.desktop" 2>&1) &&
    [ -z "$out" ] || fail "desktop entry: $out"
appstreamcli validate --no-net --no-color "$root/usr/share/metainfo/$APP_ID.metainfo.xml" ||
    fail "AppStream metadata"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) && [ -z "$out" ] ||
        fail "$(basename "$page"): $out"
done

# The installed scanner against the build's, on the demo image.
cmake --build "$BUILD" --target parcelwright-cli >/dev/null
image="$root/demo.img"
bash scripts/make-demo-image.sh "$image"
installed="$root/usr/bin/parcelwright-cli"
version=$("$installed" --version) || fail "the installed --version fails"
[ "$version" = "$("$BUILD/parcelwright-cli" --version)" ] || fail "versions differ: $version"
for args in "" "--json" "--deep --json" "--keyword garden --sort date --descending"; do
    # shellcheck disable=SC2086 # the arguments are words
    if ! cmp -s <("$installed" scan "$image" $args) <("$BUILD/parcelwright-cli" scan "$image" $args); then
        fail "installed and built scanner differ on: scan demo.img $args"
    fi
done
rows=$("$installed" scan "$image" --json | grep -o '"item":' | wc -l)
[ "$rows" -gt 0 ] || fail "the installed scanner finds nothing on the demo image"
mkdir "$root/out"
"$installed" scan "$image" --export "$root/out" --all >/dev/null || fail "the installed export fails"
[ "$(ls "$root/out" | wc -l)" -eq "$rows" ] || fail "the installed export wrote $(ls "$root/out" | wc -l) of $rows files"

if [ $failures -ne 0 ]; then
    echo "check-package: $failures checks failed" >&2
    exit 1
fi
echo "check-package: $deb passes ($rows messages found on the demo image by the installed scanner)"
