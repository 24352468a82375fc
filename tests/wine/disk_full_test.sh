#!/bin/sh
# LaunchBrightloom with its log folder on a full disk (a small tmpfs): every run
# still ends with the right exit code, and no fragment of a line is left behind
# for the next line to be glued to. Needs root to mount; skipped (77) otherwise.
# The log goes to the current folder, the tmpfs: under ProgramData, a mounted
# folder is a mount point, which the launcher refuses as it does a junction.
set -eu
wine_run=$1
launcher=$2
prefix=$3

[ "$(id -u)" -eq 0 ] || { echo "skipped: mounting a tmpfs needs root"; exit 77; }
maker="$prefix/drive_c/ProgramData/Velmora"
disk="$prefix/drive_c/lb-full-disk"
rm -rf "$maker" "$prefix/drive_c/Program Files/Common Files/Velmora"
: >"$maker"
mkdir -p "$disk"
mount -t tmpfs -o size=8k tmpfs "$disk" || { echo "skipped: cannot mount"; rm -f "$maker"; exit 77; }
# Wine may still hold the folder it ran in: a lazy unmount lets it go.
trap 'umount -l "$disk"; rm -rf "$maker" "$disk" "$disk.before"' EXIT
log="$disk/bright_loom_launcher_logs.txt"

# One page of earlier lines with room for 30 more bytes, and a filler taking the other page.
{
    head -c 4034 /dev/zero | tr '\0' 'x' | sed 's/^/[2026-01-01 00:00:00] /'
    printf '\r\n'
} >"$log"
head -c 4096 /dev/zero >"$disk/filler"
before="$disk.before"
cp "$log" "$before"
fail=0
expect_exit() {
    status=0
    (cd "$disk" && LB_PS_EXIT_CODE=$1 "$wine_run" "$launcher") || status=$?
    if [ "$status" -ne "$2" ]; then
        echo "FAIL: PowerShell exit $1 gave launcher exit $status, expected $2"
        fail=1
    fi
}

expect_exit 0 0
expect_exit 9 1
if ! cmp -s "$log" "$before"; then
    echo "FAIL: the full disk kept part of a line:"
    tail -c 80 "$log" | od -c | tail -3
    fail=1
fi

rm "$disk/filler"
expect_exit 0 0
lines=$(tail -n 5 "$log" | grep -c '^\[[0-9-]* [0-9:]*\] .*'"$(printf '\r')"'$' || true)
if [ "$(wc -l <"$log")" -ne 6 ] || [ "$lines" -ne 5 ] ||
    ! tail -n 1 "$log" | grep -q 'finished with exit code 0 ==='; then
    echo "FAIL: after space came back the log is not the old line and five whole lines:"
    cat -A "$log" | cut -c 1-100
    fail=1
fi
[ "$fail" -eq 0 ] && echo "disk full: exit codes right, no fragment kept, next run logs whole lines"
exit "$fail"
