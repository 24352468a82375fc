#!/bin/sh
# A running app whose executable path (260+ characters) is too long for the
# probe's query is skipped without error; the same app from a short path is
# found. Inside Wine, CreateProcessW cannot start a program from such a path,
# so Wine's loader starts it from the Unix side.
set -eu
wine_run=$1
standin=$2
launcher=$3
prefix=$4

base="$prefix/drive_c/lb-path-test"
long="$base/q4rk7vbn2xs9e/$(printf 'd%.0s' $(seq 1 250))"
short="$base/short_q4rk7vbn2xs9e"
log="$prefix/drive_c/ProgramData/Velmora/Brightloom/bright_loom_launcher_logs.txt"
app=""
cleanup() {
    [ -z "$app" ] || kill "$app" 2>/dev/null || true
    rm -rf "$base" "$prefix/drive_c/ProgramData/Velmora"
}
trap cleanup EXIT
mkdir -p "$long" "$short"
cp "$standin" "$long/Brightloom.exe"
cp "$standin" "$short/Brightloom.exe"

# Runs the launcher while the app runs from the given folder; prints the verdict line.
verdict_with_app_in() {
    rm -rf "$prefix/drive_c/ProgramData/Velmora"
    rm -f "$base/ready"
    LB_APP_LIFETIME_MS=60000 LB_APP_READY_FILE='C:\lb-path-test\ready' \
        "$wine_run" "$1/Brightloom.exe" &
    app=$!
    waited=0
    while [ ! -f "$base/ready" ]; do
        [ "$waited" -lt 600 ] || { echo "FAIL: the app did not start" >&2; exit 1; }
        sleep 0.1
        waited=$((waited + 1))
    done
    status=0
    LB_PS_EXIT_CODE=0 "$wine_run" "$launcher" || status=$?
    kill "$app" 2>/dev/null || true
    wait "$app" 2>/dev/null || true
    app=""
    [ "$status" -eq 0 ] || { echo "FAIL: launcher exited $status" >&2; exit 1; }
    [ "$(wc -l <"$log")" -eq 5 ] || { echo "FAIL: not five lines:" >&2; cat "$log" >&2; exit 1; }
    sed -n '2s/^\[[^]]*\] //p' "$log" | tr -d '\r'
}

windows_path="C:${long#"$prefix/drive_c"}/Brightloom.exe"
echo "image path: ${#windows_path} characters"
short_verdict=$(verdict_with_app_in "$short")
long_verdict=$(verdict_with_app_in "$long")
echo "short path: $short_verdict"
echo "long path:  $long_verdict"
[ "$short_verdict" = "App is ALREADY RUNNING before LaunchApp" ] || { echo "FAIL: short-path app not found"; exit 1; }
[ "$long_verdict" = "App is NOT running before LaunchApp" ] || { echo "FAIL: long-path app not skipped"; exit 1; }
