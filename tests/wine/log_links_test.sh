#!/bin/sh
# Links that another user could plant in the ProgramData log place: a link at
# the maker folder, at the log folder or at the file's name (to a file, or
# dangling), and a hard link at the file's name. None is followed: the target
# stays untouched and the run logs its five lines in the current directory,
# where a link at the file's name is not followed either. A link under Common
# Files, where only administrators write, is followed.
# Under Wine a Unix symbolic link stands for a junction or symbolic link.
set -eu
wine_run=$1
launcher=$2
prefix=$3

data="$prefix/drive_c/ProgramData/Velmora"
common="$prefix/drive_c/Program Files/Common Files/Velmora"
elsewhere="$prefix/drive_c/lb-link-test"
log_name=bright_loom_launcher_logs.txt
cleanup() { rm -rf "$data" "$common" "$elsewhere"; }
trap cleanup EXIT

fail=0
# Runs the launcher from a fresh current directory; prints the messages of the log there.
run_launcher() {
    status=0
    (cd "$elsewhere/cwd" && LB_PS_EXIT_CODE=0 "$wine_run" "$launcher" >/dev/null) || status=$?
    [ "$status" -eq 0 ] || { echo "FAIL: $case: launcher exited $status"; fail=1; }
}
lines_in() { [ -f "$1" ] && tr -d '\r' <"$1" | grep -c '^\[[0-9-]* [0-9:]*\] ' || echo 0; }
expect_log_in_cwd() {
    n=$(lines_in "$elsewhere/cwd/$log_name")
    [ "$n" -eq 5 ] || { echo "FAIL: $case: $n lines in the current directory, expected 5"; fail=1; }
}

# Each case starts from no log folders and a victim file with known contents.
fresh() {
    case=$1
    cleanup
    mkdir -p "$elsewhere/target" "$elsewhere/cwd"
    printf 'precious\r\n' >"$elsewhere/victim.txt"
}
victim_untouched() {
    [ "$(cat "$elsewhere/victim.txt")" = "$(printf 'precious\r')" ] ||
        { echo "FAIL: $case: the link's target was written"; fail=1; }
    made=$(find "$elsewhere/target" -mindepth 1)
    [ -z "$made" ] || { echo "FAIL: $case: something was made in the link's target: $made"; fail=1; }
}

fresh "link at Velmora"
mkdir -p "$(dirname "$data")"
ln -s "$elsewhere/target" "$data"
run_launcher; victim_untouched; expect_log_in_cwd

fresh "link at Brightloom"
mkdir -p "$data"
ln -s "$elsewhere/target" "$data/Brightloom"
run_launcher; victim_untouched; expect_log_in_cwd

fresh "link at the file name to a file"
mkdir -p "$data/Brightloom"
ln -s "$elsewhere/victim.txt" "$data/Brightloom/$log_name"
run_launcher; victim_untouched; expect_log_in_cwd

fresh "dangling link at the file name"
mkdir -p "$data/Brightloom"
ln -s "$elsewhere/target/new.txt" "$data/Brightloom/$log_name"
run_launcher; victim_untouched; expect_log_in_cwd

fresh "hard link at the file name"
mkdir -p "$data/Brightloom"
ln "$elsewhere/victim.txt" "$data/Brightloom/$log_name"
run_launcher; victim_untouched; expect_log_in_cwd

fresh "link at the file name in the current directory"
mkdir -p "$data"
ln -s "$elsewhere/target" "$data/Brightloom"
ln -s "$elsewhere/victim.txt" "$elsewhere/cwd/$log_name"
run_launcher; victim_untouched

fresh "link under Common Files"
mkdir -p "$common"
ln -s "$elsewhere/target" "$common/Brightloom"
run_launcher
n=$(lines_in "$elsewhere/target/$log_name")
[ "$n" -eq 5 ] || { echo "FAIL: $case: $n lines in the link's target, expected 5"; fail=1; }
[ ! -e "$data" ] || { echo "FAIL: $case: the ProgramData place was used"; fail=1; }

[ "$fail" -eq 0 ] && echo "links: none followed in ProgramData; Common Files' followed"
exit "$fail"
