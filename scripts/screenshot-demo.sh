#!/usr/bin/env bash
# Takes docs/screenshot.png: the demo build (the window over a simulated
# instrument holding an older image set) under Wine in a virtual desktop on
# Xvfb, after a completed "Program" run. A small helper, built here with the
# MinGW compiler, clicks "Program" once the instrument is listed, answers the
# run's final message box and waits for the window to be ready again.
#
# Usage: scripts/screenshot-demo.sh [MinGW build directory]   (default build/mingw)
# Build the demo first: cmake --preset mingw && cmake --build --preset mingw --target ombrix-fwupdate-demo
# WINEPREFIX may name an existing prefix; otherwise a fresh one is made and removed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/mingw}
demo=$build/win32/ombrix-fwupdate-demo.exe
output=$repo/docs/screenshot.png
# The window sits at 73, 32 dialog units; the desktop leaves the same margin around it.
desktop_size=572x408
run_limit_seconds=900

install_missing_tools() {
    local packages=()
    command -v Xvfb >/dev/null || packages+=(xvfb)
    [ -x /usr/bin/import ] || packages+=(imagemagick)
    command -v wine >/dev/null || packages+=(wine)
    command -v x86_64-w64-mingw32-gcc-posix >/dev/null || packages+=(gcc-mingw-w64-x86-64-posix)
    if [ ${#packages[@]} -gt 0 ]; then
        apt-get update
        apt-get install -y --no-install-recommends "${packages[@]}"
    fi
}

write_helper_source() {
    cat >"$1" <<'EOF'
/* Drives the demo's window as a user would: "Program", then OK on the run's
   final message box. Writes that message's text to the file it is given. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char TITLE[] = "Ombrix Firmware Upgrade Utility";
enum { PROGRAM_BUTTON = 110, MESSAGE_TEXT = 0xFFFF };
static HWND main_window;
static HWND message_box;

static BOOL CALLBACK find_message_box(HWND window, LPARAM unused) {
    char class_name[16] = "", title[64] = "";
    (void)unused;
    if (window == main_window || !IsWindowVisible(window)) return TRUE;
    GetClassNameA(window, class_name, sizeof class_name);
    GetWindowTextA(window, title, sizeof title);
    if (strcmp(class_name, "#32770") == 0 && strcmp(title, TITLE) == 0) {
        message_box = window;
        return FALSE;
    }
    return TRUE;
}

static int message_box_shown(void) {
    message_box = NULL;
    EnumWindows(find_message_box, 0);
    return message_box != NULL;
}

static int program_enabled(void) {
    return IsWindowEnabled(GetDlgItem(main_window, PROGRAM_BUTTON));
}

static int instrument_listed(void) {
    main_window = FindWindowA("#32770", TITLE);
    return main_window != NULL && program_enabled();
}

static int run_ended(void) { return !message_box_shown() && program_enabled(); }

static int wait_for(int (*condition)(void), int seconds) {
    for (int tenths = 0; tenths < seconds * 10; ++tenths) {
        if (condition()) return 1;
        Sleep(100);
    }
    return 0;
}

int main(int argc, char** argv) {
    char text[1024] = "";
    int limit = argc > 2 ? atoi(argv[2]) : 900;
    if (argc < 2 || !wait_for(instrument_listed, 120)) return 1;
    PostMessageA(main_window, WM_COMMAND, PROGRAM_BUTTON, 0);
    if (!wait_for(message_box_shown, limit)) return 2;
    Sleep(500);
    GetDlgItemTextA(message_box, MESSAGE_TEXT, text, sizeof text);
    PostMessageA(message_box, WM_COMMAND, IDOK, 0);
    if (!wait_for(run_ended, 60)) return 3;
    Sleep(1000); /* the last repaint */
    FILE* done = fopen(argv[1], "w");
    if (done == NULL) return 4;
    fprintf(done, "%s\n", text);
    fclose(done);
    return 0;
}
EOF
}

install_missing_tools
if [ ! -f "$demo" ]; then
    echo "No demo build at $demo; build the target ombrix-fwupdate-demo first." >&2
    exit 1
fi

work=$(mktemp -d)
xvfb_pid=
own_prefix=
if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX=$work/wine
    own_prefix=1
fi
export WINEDEBUG=-all
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

write_helper_source "$work/drive-demo.c"
x86_64-w64-mingw32-gcc-posix -O2 -std=c99 -Wall -o "$work/drive-demo.exe" "$work/drive-demo.c" -luser32

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")

if [ -n "$own_prefix" ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i
    wineserver -w
fi

done_file=$work/done.txt
wine explorer /desktop=ombrix,$desktop_size "$demo" &
wine explorer /desktop=ombrix,$desktop_size "$work/drive-demo.exe" \
    "$(winepath -w "$done_file")" "$run_limit_seconds" &
for _ in $(seq $((run_limit_seconds + 180))); do
    [ -s "$done_file" ] && break
    sleep 1
done
if [ ! -s "$done_file" ]; then
    echo "The demo's run did not end." >&2
    exit 1
fi
echo "The run ended with: $(head -n 1 "$done_file")"

mkdir -p "$(dirname "$output")"
/usr/bin/import -window root -crop "$desktop_size+0+0" +repage "png:$output"
echo "Saved $output"
