#!/usr/bin/env bash
# The demonstration of the README: with the built kestar, create an archive, import a real
# folder of this project recursively, show its tree and figures, export it back, compare every
# file with the original, and check the archive's consistency.
#
#   bash scripts/demo.sh BUILD_DIR        (scripts/dev.sh demo builds and calls it)
#
# Exits non-zero on any failure.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?usage: bash scripts/demo.sh BUILD_DIR}"
kestar="$(cd "$build" && pwd)/tools/kestar/kestar"
if [ ! -x "$kestar" ]; then
    echo "demo: no kestar at $kestar; build first (bash scripts/dev.sh demo)" >&2
    exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/kestar-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
archive="$work/demo.kar"
cd "$root"

step() { printf '\n== %s\n' "$*"; }
show() { # show ARGS...: print the kestar command, then run it
    printf '$ kestar %s\n' "$*"
    "$kestar" "$@"
}

# The folders to import: docs/, and tools/ as well while docs/ is still small, so that the
# demonstration always carries real content.
folders=()
docs_bytes=0
if [ -d docs ]; then
    folders+=(docs)
    docs_bytes="$(find docs -type f -exec cat {} + | wc -c)"
fi
if [ "$docs_bytes" -lt 32768 ]; then
    folders+=(tools)
fi

step "Create an archive"
show create "$archive" --app-version 1.0.0

step "Import ${folders[*]} recursively"
show add "$archive" "${folders[@]}" -r

step "The tree inside the archive"
show tree "$archive"

step "Figures"
show info "$archive"

step "Export it back to a temporary folder"
show get "$archive" "${folders[@]}" -r -C "$work/out"

step "Compare the exported files with the originals"
for folder in "${folders[@]}"; do
    printf '$ diff -r %s %s\n' "$folder" "$work/out/$folder"
    diff -r "$folder" "$work/out/$folder"
done
echo "identical"

step "Check the archive's consistency"
show check "$archive"

files="$(find "${folders[@]}" -type f | wc -l)"
printf '\nDemo succeeded: %s files from %s/ went into one archive and came back byte for byte,\nand the archive is consistent.\n' \
    "$files" "$(IFS=,; echo "${folders[*]}" | sed 's|,|/ and |g')"
