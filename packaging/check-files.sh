#!/usr/bin/env bash
# Checks the files an installation adds beside the programs, from the build tree:
#   check-files.sh CLI SOURCE_DIR BUILD_DIR VERSION
# - the desktop entry and the AppStream metadata pass their validators;
# - both manual pages render without a warning;
# - the manual page and the bash completion know every option the scanner's help lists;
# - the completion completes as expected;
# - --version names the project's version and succeeds.
set -uo pipefail
CLI=$1 SRC=$2 BIN=$3 VERSION=$4
APP_ID=org.parcelwright.Parcelwright
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for tool in desktop-file-validate appstreamcli man; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (bash scripts/setup.sh)"
done

# The validator's hints are printed too, and count as failures: the entry is small enough to be clean.
out=$(desktop-file-validate "$SRC/$APP_ID.desktop" 2>&1)
[ $? -eq 0 ] && [ -z "$out" ] || fail "desktop entry: $out"
out=$(appstreamcli validate --no-net --no-color "$BIN/$APP_ID.metainfo.xml" 2>&1) ||
    fail "metainfo: $out"
grep -q "<release version=\"$VERSION\"" "$BIN/$APP_ID.metainfo.xml" ||
    fail "metainfo does not name release $VERSION"

for page in parcelwright-cli.1 parcelwright.1; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$SRC/$page" 2>&1 >/dev/null) ||
        fail "$page does not render"
    [ -z "$out" ] || fail "$page: $out"
done

# Every long option of the program and of each command, as its own help lists them.
options=$( { "$CLI" --help; "$CLI" scan --help; "$CLI" drives --help; } |
    grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || fail "no options found in the help of $CLI"
for option in $options; do
    grep -q -- "${option//-/\\\\-}" "$SRC/parcelwright-cli.1" ||
        fail "the manual page does not describe $option"
    grep -q -- "$option" "$SRC/parcelwright-cli.bash-completion" ||
        fail "the bash completion does not offer $option"
done

# The completion, as bash runs it.
if [ -f /usr/share/bash-completion/bash_completion ]; then
    complete_line() { # words of the command line; the last one is being completed
        bash -c '
            source /usr/share/bash-completion/bash_completion
            source "$1"; shift
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
            COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
            _parcelwright_cli parcelwright-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
            printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ \
            "$SRC/parcelwright-cli.bash-completion" "$@"
    }
    expect() { # expected words, then the command line
        local want=$1
        shift
        local got
        got=$(complete_line "$@")
        [ "$got" = "$want" ] || fail "completing '$*': got '$got', want '$want'"
    }
    expect "drives merge ranges scan " "$CLI" ""
    expect "--sector-size " "$CLI" ranges x --se
    expect "--help --version " "$CLI" "--"
    expect "--sort " "$CLI" scan --so
    expect "date " "$CLI" scan x --sort d
    expect "--deep --descending " "$CLI" scan x --de
    expect "4096 " "$CLI" scan --sector-size 40
else
    fail "bash-completion is not installed (bash scripts/setup.sh)"
fi

out=$("$CLI" --version) || fail "--version exits with status $?"
[ "$out" = "parcelwright-cli $VERSION" ] || fail "--version prints '$out'"

[ $failures -eq 0 ] && echo "packaging files: all checks passed"
exit $((failures > 0))
