#!/usr/bin/env bash
# The Windows lock mechanism against the Win32 API: cross-builds lockdriver.exe with MinGW-w64
# and runs it, and the holder processes it starts, under Wine.
#   run-under-wine.sh SOURCE_DIR WORK_DIR WERROR(1|0)
# Exits 77, which CTest counts as a skip, when the cross compiler or Wine is missing
# (scripts/install-deps.sh installs both).
set -euo pipefail
source_dir="$1"
work="$2"
werror="$3"

find_tool() { # find_tool NAME...: the first one on PATH or in Debian's Wine folder
    local name
    for name in "$@"; do
        command -v "$name" 2>/dev/null && return
        [ -x "/usr/lib/wine/$name" ] && echo "/usr/lib/wine/$name" && return
    done
    return 0
}
cxx="$(find_tool x86_64-w64-mingw32-g++)"
wine="$(find_tool wine64)"
wineserver="$(find_tool wineserver64 wineserver)"
if [ -z "$cxx" ] || [ -z "$wine" ] || [ -z "$wineserver" ]; then
    echo "skipped: needs x86_64-w64-mingw32-g++, wine64 and wineserver"
    exit 77
fi

mkdir -p "$work"
lock_dir="$source_dir/Projects/QtSolutions/QtLockedFile"
flags=(-std=c++17 -O2 -Wall -Wextra)
[ "$werror" = 1 ] && flags+=(-Werror)
# Linked statically, so that no MinGW runtime DLL has to be found at run time.
"$cxx" "${flags[@]}" -static -I"$lock_dir" "$lock_dir/namedmutexlock.cpp" \
    "$source_dir/tests/lockedfile/win32/lockdriver.cpp" -o "$work/lockdriver.exe"

# A prefix of its own in the build folder; no display, and no offer to install the .NET and
# HTML engines, so that nothing waits for a person.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine links the prefix's user folders into HOME.
if [ -z "${HOME:-}" ] || [ ! -d "$HOME" ] || [ ! -w "$HOME" ]; then
    export HOME="$work"
fi
# Ends every process of the prefix on the way out, holders left waiting by a failed check too.
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT

# The first start makes the prefix, which takes some seconds; one that an interrupted run left
# half made is made anew.
if [ ! -f "$work/prefix-ready" ]; then
    started=$SECONDS
    rm -rf "$WINEPREFIX"
    if ! timeout 300 "$wine" wineboot --init >"$work/wineboot.log" 2>&1 ||
        ! timeout 120 "$wineserver" -w; then
        cat "$work/wineboot.log"
        echo "the Wine prefix could not be made"
        exit 1
    fi
    touch "$work/prefix-ready"
    echo "Wine prefix made in $((SECONDS - started)) s"
fi

started=$SECONDS
status=0
timeout 600 "$wine" "$work/lockdriver.exe" run || status=$?
echo "lockdriver ran in $((SECONDS - started)) s"
exit "$status"
