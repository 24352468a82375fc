#!/bin/sh
# The release build: two builds of the same commit in different folders give
# the same bytes, and the result passes the executable checks (machine,
# subsystem, system-only imports, the manifest and a version resource naming the commit).
set -eu
source_dir=$1
wine_run=$2
executable_tests=$3

git -C "$source_dir" rev-parse HEAD >/dev/null 2>&1 || { echo "skipped: not a git checkout"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$source_dir/tools/release" "$work/first"
sleep 1
"$source_dir/tools/release" "$work/second"
if ! cmp "$work/first/LaunchBrightloom.exe" "$work/second/LaunchBrightloom.exe"; then
    echo "FAIL: two release builds of one commit differ"
    exit 1
fi
(cd "$work/first" && sha256sum -c SHA256SUMS)
if ! cmp "$work"/first/LaunchBrightloom-*-x64.msi "$work"/second/LaunchBrightloom-*-x64.msi; then
    echo "FAIL: two MSIs of one commit differ"
    exit 1
fi
"$source_dir/tools/release" --verify "$work/first"

windows_path="Z:$(printf '%s' "$work/first/LaunchBrightloom.exe" | tr / '\\')"
LB_EXECUTABLE="$windows_path" LB_EXPECTED_COMMIT="$(git -C "$source_dir" rev-parse HEAD)" \
    "$wine_run" "$executable_tests"

# And the release build does its job: one successful run under Wine.
status=0
LB_PS_EXIT_CODE=0 "$wine_run" "$work/first/LaunchBrightloom.exe" || status=$?
[ "$status" -eq 0 ] || { echo "FAIL: the release build exited $status on a successful activation"; exit 1; }
echo "release: reproducible, checks passed, runs"
