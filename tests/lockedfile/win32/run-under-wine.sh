#!/usr/bin/env bash
# The Windows lock mechanism against the Win32 API: cross-builds lockdriver.exe with MinGW-w64
# and runs tst_lockedfile's scenarios and contention with it as the holder, under Wine.
#   run-under-wine.sh SOURCE_DIR WORK_DIR WERROR(1|0) TST_LOCKEDFILE
# Exits 77, which CTest counts as a skip, when the cross compiler or Wine is missing
# (scripts/install-deps.sh installs both).
set -euo pipefail
source_dir="$1" work="$2" werror="$3" test="$4"

find_tool() { # on PATH or in Debian's Wine folder
    command -v "$1" 2>/dev/null || ls "/usr/lib/wine/$1" 2>/dev/null || true
}
cxx="$(find_tool x86_64-w64-mingw32-g++)" wine="$(find_tool wine64)"
wineserver="$(find_tool wineserver)"
if [ -z "$cxx" ] || [ -z "$wine" ] || [ -z "$wineserver" ]; then
    echo "skipped: needs x86_64-w64-mingw32-g++, wine64 and wineserver"
    exit 77
fi

mkdir -p "$work"
flags=(-std=c++17 -O2 -Wall -Wextra -static) # static: no MinGW runtime DLL to find
[ "$werror" = 1 ] && flags+=(-Werror)
lock_dir="$source_dir/Projects/QtSolutions/QtLockedFile"
"$cxx" "${flags[@]}" -I"$lock_dir" -I"$source_dir/tests/lockedfile" "$lock_dir/namedmutexlock.cpp" \
    "$source_dir/tests/lockedfile/win32/lockdriver.cpp" -o "$work/lockdriver.exe"

# A prefix of its own, no display, no offer to install the .NET and HTML engines; Wine links the
# prefix's user folders into HOME. Every process of the prefix is ended on the way out.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
[ -d "${HOME:-}" ] && [ -w "$HOME" ] || export HOME="$work"
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
# Made at the first run, or anew when an interrupted run left it half made.
if [ ! -f "$work/prefix-ready" ]; then
    rm -rf "$WINEPREFIX"
    timeout 300 "$wine" wineboot --init >"$work/wineboot.log" 2>&1 &&
        timeout 120 "$wineserver" -w || { cat "$work/wineboot.log" && exit 1; }
    touch "$work/prefix-ready"
fi
"$wineserver" -p # kept between one scenario's holders and the next's
export KEST_WINE_HOLDER="\"$wine\" \"$work/lockdriver.exe\""
# A holder that Wine fails to start (seen once, on a prefix just made) makes a step go
# unanswered: a second run tells such a hiccup from a fault, which fails both.
timeout 600 "$test" scenarios contention ||
    { echo "tst_lockedfile under Wine failed; running it once more"; timeout 600 "$test" scenarios contention; }
