#!/usr/bin/env bash
# Checks what installing and packaging deliver, from built trees:
#   build/native: `cmake --install` and the .deb hold the program, its udev
#                 rules, its man page and its bash completion, and the
#                 installed program runs (and completes its commands);
#   build/mingw:  the ZIP holds both window programs and the command-line
#                 program, side by side (when that tree exists).
set -euo pipefail
cd "$(dirname "$0")/.."

failures=0
expect_listed() {
    local listing=$1 what=$2
    if grep -Eq "$what" <<<"$listing"; then
        echo "  has $what"
    else
        echo "  MISSING $what" >&2
        failures=$((failures + 1))
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== cmake --install"
cmake --install build/native --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort)
echo "$installed"
expect_listed "$installed" '^\./bin/ombrix-fwupdate$'
expect_listed "$installed" '^\./lib/udev/rules\.d/70-ombrix\.rules$'
expect_listed "$installed" '^\./share/man/man1/ombrix-fwupdate\.1$'
expect_listed "$installed" '^\./share/bash-completion/completions/ombrix-fwupdate$'
expect_listed "$installed" '^\./share/doc/ombrix-fwupdate/ombrix-fwupdate\.schema\.json$'
if [[ $(wc -l <<<"$installed") -ne 5 ]]; then
    echo "  UNEXPECTED files installed" >&2
    failures=$((failures + 1))
fi
if [[ $("$work/prefix/bin/ombrix-fwupdate" list --simulate=current --speed-up 0) == "DEV1  port "* ]]; then
    echo "  the installed program lists a simulated instrument"
else
    echo "  the installed program does not run" >&2
    failures=$((failures + 1))
fi

completed=$(bash -c 'source "$1"; COMP_WORDS=(ombrix-fwupdate ver); COMP_CWORD=1
    _ombrix_fwupdate; echo "${COMPREPLY[*]}"' _ "$work/prefix/share/bash-completion/completions/ombrix-fwupdate")
if [[ $completed == "verify versions" ]]; then
    echo "  the installed completion completes commands"
else
    echo "  the installed completion gives \"$completed\" for ver" >&2
    failures=$((failures + 1))
fi

echo "== .deb"
rm -f build/native/ombrix-fwupdate_*.deb
(cd build/native && cpack -G DEB >/dev/null)
deb=$(ls build/native/ombrix-fwupdate_*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
echo "$deb"
expect_listed "$contents" '^\./usr/bin/ombrix-fwupdate$'
expect_listed "$contents" '^\./usr/lib/udev/rules\.d/70-ombrix\.rules$'
expect_listed "$contents" '^\./usr/share/man/man1/ombrix-fwupdate\.1(\.gz)?$'
expect_listed "$contents" '^\./usr/share/bash-completion/completions/ombrix-fwupdate$'
expect_listed "$contents" '^\./usr/share/doc/ombrix-fwupdate/ombrix-fwupdate\.schema\.json$'
expect_listed "$(dpkg-deb -f "$deb" Depends)" 'libusb-1\.0-0'

if [[ -d build/mingw ]]; then
    echo "== Windows ZIP"
    rm -f build/mingw/ombrix-fwupdate-*.zip
    (cd build/mingw && cpack -G ZIP >/dev/null)
    zip=$(ls build/mingw/ombrix-fwupdate-*.zip)
    echo "$zip"
    zipped=$(unzip -Z1 "$zip")
    expect_listed "$zipped" '/ombrix-fwupdate-win\.exe$'
    expect_listed "$zipped" '/ombrix-fwupdate-demo\.exe$'
    expect_listed "$zipped" '/ombrix-fwupdate\.exe$'
    programs=$(grep '\.exe$' <<<"$zipped")
    if [[ $(wc -l <<<"$programs") -ne 3 || $(sed 's|[^/]*$||' <<<"$programs" | sort -u | wc -l) -ne 1 ]]; then
        echo "  UNEXPECTED programs in the ZIP, or not side by side" >&2
        failures=$((failures + 1))
    fi
fi

if ((failures > 0)); then
    echo "Packages: $failures problem(s)." >&2
    exit 1
fi
echo "Packages hold what they should."
