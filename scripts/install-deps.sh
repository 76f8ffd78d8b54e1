#!/usr/bin/env bash
# Installs what building and testing KestArchive needs on Debian or Ubuntu:
# a C++ compiler, CMake and the Qt 6 Core/Test development files, and, for the test of the
# Windows lock against the real Win32 API, the MinGW-w64 cross compiler and Wine.
# Uses sudo only when not already root; does nothing when everything is there.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
dpkg -s qt6-base-dev >/dev/null 2>&1 || need+=(qt6-base-dev)
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64)
command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${need[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
