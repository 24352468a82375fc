#!/bin/bash
# Runs a test program under Wine with real PowerShell behind the PowerShell
# stand-in: the stand-in leaves its arguments in a folder, this runs pwsh with
# them on the Unix side and leaves the exit code for the stand-in to exit with.
# Wine cannot do it directly: it starts a Unix program from CreateProcessW but
# neither waits for it nor passes back its exit code.
# Every run goes into the folder's journal: "exit=N args=..." and pwsh's output.
#
# Usage: powershell-relay.sh PWSH WINE_RUN PROGRAM [ARGUMENT...]
set -eu
pwsh=$1
wine_run=$2
shift 2

relay=$(mktemp -d "$(dirname "$wine_run")/powershell-relay.XXXXXX")
# Wine's drive Z: is the Unix root.
LB_PS_RELAY="Z:$(printf '%s' "$relay" | tr / '\\')"
export LB_PS_RELAY
# No update check or telemetry from a machine without a network.
export POWERSHELL_UPDATECHECK=Off POWERSHELL_TELEMETRY_OPTOUT=1

serve() {
    while :; do
        for request in "$relay"/*.args; do
            [ -f "$request" ] || continue
            id=${request%.args}
            mapfile -t arguments <"$request"
            rm -f "$request"
            status=0
            "$pwsh" "${arguments[@]}" </dev/null >"$id.out" 2>&1 || status=$?
            { printf 'exit=%s args=%s\n' "$status" "${arguments[*]}"; cat "$id.out"; echo; } \
                >>"$relay/journal"
            echo "$status" >"$id.answer"
            mv "$id.answer" "$id.exit"
        done
        sleep 0.05
    done
}

serve &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$relay"' EXIT
trap 'exit 143' TERM INT HUP
status=0
"$wine_run" "$@" || status=$?
exit "$status"
