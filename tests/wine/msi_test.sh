#!/bin/sh
# The MSI under Wine's msiexec, in a prefix of its own: install, a run of the
# installed launcher, reinstall, rebuilds of the same version, upgrade, a
# refused downgrade, and docs/deployment.md's detection script and its uninstall
# line for Intune with real PowerShell 7 (where built; else removal by the
# upgrade code). Wine does not enforce file permissions, so the log's rights are
# checked in the package's table only.
set -eu
source_dir=$1
launcher=$2
powershell=$3
export WINEPREFIX=$4
# tests/pwsh_host's folder, or empty where dotnet is missing.
engine=${5:-}
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='

work=$(mktemp -d)
trap 'wineserver --kill 2>/dev/null || true; rm -rf "$work"' EXIT
fail() {
    printf 'FAIL: %s\n' "$*"
    # What Wine and the last msiexec said, so that a failure names its cause.
    tail -n 15 "$work/wine.out" "$(ls -t "$work"/*.log 2>/dev/null | head -1)" 2>/dev/null | tr -d '\r\000'
    exit 1
}
# Wine and its helpers write to files, never to CTest's pipes.
wine_quiet() {
    wine "$@" </dev/null >>"$work/wine.out" 2>&1
}
msiexec() {
    wine_quiet msiexec "$1" "Z:$(printf '%s' "$work/$2" | tr / '\\')" /qn \
        /l*v "Z:$(printf '%s' "$work/$2.log" | tr / '\\')"
}
dos() {
    printf 'Z:%s' "$1" | tr / '\\'
}
# Real PowerShell 7 under Wine: NAME, then -File or -Command and its text; what it
# writes goes to NAME.out and NAME.err. A pseudo-terminal gives it the console it needs.
powershell7() {
    PS_ENGINE="$engine/powershell.exe" PS_MODE=$2 PS_TEXT=$3 PS_OUT="$work/$1.out" PS_ERR="$work/$1.err" \
        WINEDLLOVERRIDES='mshtml=' DOTNET_EnableWriteXorExecute=0 POWERSHELL_TELEMETRY_OPTOUT=1 NO_COLOR=1 \
        script -qec 'wine "$PS_ENGINE" -NoProfile -NonInteractive -ExecutionPolicy Bypass "$PS_MODE" "$PS_TEXT" \
            >"$PS_OUT" 2>"$PS_ERR"' /dev/null </dev/null >>"$work/wine.out" 2>&1
}
# A script of docs/deployment.md, as it stands there, run as a file: NAME, then what
# its output must be, "some" or "none"; it must exit 0.
documented_script() {
    powershell7 "$1" -File "$(dos "$work/$1.ps1")" || fail "$1.ps1 exited $?: $(cat "$work/$1.err")"
    if [ "$2" = some ]; then [ -s "$work/$1.out" ]; else [ ! -s "$work/$1.out" ]; fi ||
        fail "$1.ps1 wrote '$(cat "$work/$1.out")', not $2 output; $(cat "$work/$1.err")"
}
# docs/deployment.md's uninstall line for Intune, with real PowerShell 7 as its powershell.exe,
# run by Wine's cmd from a batch file in FOLDER: then NAME (its output goes to NAME.out and
# NAME.err) and the exit code it must end with.
documented_uninstall() {
    line=$(tr -d '\r' <"$work/uninstall.line")
    case $line in *'\powershell.exe '*) ;; *) fail "no powershell.exe in the uninstall line: $line" ;; esac
    printf '@echo off\r\n"%s" %s\r\n' "$(dos "$engine/powershell.exe")" "${line#*powershell.exe }" >"$1/uninstall.cmd"
    status=0
    (cd "$1" && PS_BATCH=$(dos "$1/uninstall.cmd") PS_OUT="$work/$2.out" PS_ERR="$work/$2.err" \
        WINEDLLOVERRIDES='mshtml=' DOTNET_EnableWriteXorExecute=0 POWERSHELL_TELEMETRY_OPTOUT=1 NO_COLOR=1 \
        script -qec 'wine cmd /c "$PS_BATCH" >"$PS_OUT" 2>"$PS_ERR"' /dev/null </dev/null >>"$work/wine.out" 2>&1) ||
        status=$?
    [ "$status" -eq "$3" ] || fail "the uninstall line in $1 exited $status, not $3: $(cat "$work/$2.out" "$work/$2.err")"
}
lines() {
    if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi
}
uninstall_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s \
        </dev/null >"$work/uninstall.reg" 2>>"$work/wine.out"
    tr -d '\r' <"$work/uninstall.reg" | grep -c 'DisplayName *REG_SZ *LaunchBrightloom$' || true
}

"$source_dir/tools/notices" >"$work/notices.txt"
# A build that takes over a second must still stamp the commit's time: a
# wixl that dawdles shows a clock that runs on.
mkdir "$work/slow"
printf '#!/bin/sh\nsleep 1.2\nexec %s "$@"\n' "$(command -v wixl)" >"$work/slow/wixl"
chmod +x "$work/slow/wixl"
epoch=1767225600
SOURCE_DATE_EPOCH=$epoch PATH="$work/slow:$PATH" \
    "$source_dir/tools/msi-build" 1.0.0 "$launcher" "$work/notices.txt" "$work/old.msi"
"$source_dir/tools/msi-build" 1.0.1 "$launcher" "$work/notices.txt" "$work/new.msi"
# The same version rebuilt with another launcher, as a signed build of an unsigned one.
cp "$launcher" "$work/rebuilt.exe"
printf 'rebuilt' >>"$work/rebuilt.exe"
"$source_dir/tools/msi-build" 1.0.0 "$work/rebuilt.exe" "$work/notices.txt" "$work/rebuilt.msi"

# The same files a day later, as from a commit that changed only the README:
# other bytes, so another package code.
SOURCE_DATE_EPOCH=$((epoch + 86400)) \
    "$source_dir/tools/msi-build" 1.0.0 "$launcher" "$work/notices.txt" "$work/later.msi"
package_code() {
    msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'
}
[ "$(package_code "$work/old.msi")" != "$(package_code "$work/later.msi")" ] ||
    fail "two epochs gave one package code, $(package_code "$work/old.msi")"

stamp=$(LC_ALL=C date -u -d "@$epoch" '+%a %b %e %H:%M:%S %Y')
times=$(LC_ALL=C TZ=UTC msiinfo suminfo "$work/old.msi" | grep -E '^(Created|Last saved):')
[ "$times" = "$(printf 'Created: %s\nLast saved: %s' "$stamp" "$stamp")" ] ||
    fail "the summary's times are not SOURCE_DATE_EPOCH ($stamp): $times"

# Windows Installer reads the table by its documented column names, and the
# rights must be the ones the launcher gives a log it creates.
msiinfo export "$work/old.msi" MsiLockPermissionsEx | tr -d '\r' >"$work/rights.idt"
header=$(sed -n 1p "$work/rights.idt")
[ "$header" = "$(printf 'MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition')" ] ||
    fail "MsiLockPermissionsEx's columns: $header"
launcher_sddl=$(sed -n 's/^ *L"\(D:[^"]*\)";$/\1/p' "$source_dir/src/runlog/log_security.cpp")
[ -n "$launcher_sddl" ] || fail "no SDDL found in log_security.cpp"
rights=$(sed -n '4,$p' "$work/rights.idt")
[ "$rights" = "$(printf 'RunLogRights\tRunLog\tFile\t%s\t' "$launcher_sddl")" ] ||
    fail "the log's rights in MsiLockPermissionsEx: $rights; the launcher's: $launcher_sddl"
# Administrators restore an older log's rights from the docs' copy.
documented=$(cat "$source_dir/README.md" "$source_dir/docs/deployment.md" |
    grep -o "D:P[^'\`\" ]*" | sort -u)
[ "$documented" = "$launcher_sddl" ] ||
    fail "the docs' SDDL, $documented, is not the launcher's, $launcher_sddl"

wineserver --kill 2>/dev/null || true  # one a stopped run left
rm -rf "$WINEPREFIX"
wineboot --init </dev/null >"$work/wine.out" 2>&1
wineserver --wait
cp "$powershell" "$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0/powershell.exe"
# The scripts are read by the acceptance script's own reader, before anything is installed.
if [ -n "$engine" ]; then
    powershell7 extract -Command ". '$(dos "$source_dir/tests/windows/acceptance-helpers.ps1")'
        \$docs = @(Get-Content -LiteralPath '$(dos "$source_dir/docs/deployment.md")')
        foreach (\$name in 'detect', 'remove-all-builds') {
            Set-Content -LiteralPath \"$(dos "$work")\\\$name.ps1\" -Value (Get-MarkedScript \$docs \$name)
        }
        Set-Content -LiteralPath '$(dos "$work/uninstall.line")' -Value (Get-MarkedScript \$docs 'uninstall-intune' 'command' 'bat')
    " || fail "docs/deployment.md's scripts: $(cat "$work/extract.err")"
fi
# Whatever build is installed goes by the upgrade code, as the docs say, through
# the Installer object's RelatedProducts: a package file names only its own build.
upgrade=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' "$source_dir/packaging/LaunchBrightloom.wxs")
printf '%s\r\n' 'For Each code In CreateObject("WindowsInstaller.Installer").RelatedProducts(WScript.Arguments(0))' \
    'WScript.Echo code' 'Next' >"$work/related.vbs"
related_products() {
    wine cscript //nologo "$(dos "$work/related.vbs")" "{$upgrade}" </dev/null 2>>"$work/wine.out" | tr -d '\r'
}
installed="$WINEPREFIX/drive_c/Program Files/Velmora/Brightloom"
log="$WINEPREFIX/drive_c/Program Files/Common Files/Velmora/Brightloom/bright_loom_launcher_logs.txt"
fallback="$WINEPREFIX/drive_c/ProgramData/Velmora/Brightloom/bright_loom_launcher_logs.txt"

msiexec /i old.msi || fail "install exited $?"
cmp "$launcher" "$installed/LaunchBrightloom.exe" || fail "the installed launcher is not the packaged one"
cmp "$work/notices.txt" "$installed/THIRD-PARTY-NOTICES.txt" || fail "no notices beside the launcher"
[ -f "$log" ] && [ ! -s "$log" ] || fail "no empty log in Common Files"
[ -z "$engine" ] || documented_script detect some

LB_PS_EXIT_CODE=0 wine_quiet 'C:\Program Files\Velmora\Brightloom\LaunchBrightloom.exe' ||
    fail "the installed launcher exited $?"
[ "$(lines "$log")" -eq 5 ] || fail "$(lines "$log") lines in the Common Files log"
[ ! -e "$fallback" ] || fail "the installed launcher logged to ProgramData"

msiexec /i old.msi || fail "reinstall exited $?"
[ "$(lines "$log")" -eq 5 ] || fail "reinstall changed the log"

# The same launcher a day later, as the acceptance's rebuild.
msiexec /i later.msi || fail "installing the same files built later exited $?"
[ "$(related_products | grep -c .)" -eq 1 ] || fail "the upgrade code's products after a rebuild: $(related_products)"
msiexec /i rebuilt.msi || fail "installing a rebuild of the same version exited $?"
cmp "$work/rebuilt.exe" "$installed/LaunchBrightloom.exe" ||
    fail "a rebuild of the same version kept the launcher installed before it"
[ "$(lines "$log")" -eq 5 ] || fail "installing a rebuild changed the log"
[ "$(uninstall_entries)" -eq 1 ] || fail "$(uninstall_entries) uninstall entries after a rebuild"

msiexec /i new.msi || fail "upgrade exited $?"
[ "$(lines "$log")" -eq 5 ] || fail "upgrade changed the log"
[ -f "$installed/LaunchBrightloom.exe" ] || fail "upgrade lost the launcher"
[ "$(uninstall_entries)" -eq 1 ] || fail "$(uninstall_entries) uninstall entries after upgrading"

# Wine logs the failed launch condition and the newer product it found, not
# the condition's message, which Windows adds. It exits 1603, ERROR_INSTALL_FAILURE,
# as the acceptance expects of Windows; the Unix side sees its low byte, 67.
refused=0
msiexec /i old.msi || refused=$?
[ "$refused" -eq 67 ] || fail "a downgrade exited $refused, not 1603 (67 to Unix)"
grep -q 'LaunchConditions. Return value 0' "$work/old.msi.log" &&
    grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$work/old.msi.log" ||
    fail "msiexec's log does not say why the downgrade failed"

related=$(related_products)
[ "$(printf '%s\n' "$related" | grep -c .)" -eq 1 ] || fail "the upgrade code's products: $related"
if [ -n "$engine" ]; then
    # A script that cannot be loaded must not read as a removal.
    mkdir "$work/no-script"
    documented_uninstall "$work/no-script" uninstall-without-script 1
    [ "$(related_products | grep -c .)" -eq 1 ] || fail "the uninstall line without its script removed a build"
    documented_uninstall "$work" uninstall 0
    [ "$(grep -c . "$work/uninstall.out")" -eq 1 ] || fail "the uninstall line's lines: $(cat "$work/uninstall.out")"
    documented_script detect none
else
    echo "No real PowerShell (dotnet): removed by the upgrade code from VBScript, not by docs/deployment.md's script"
    wine_quiet msiexec /x "$related" /qn /l*v "$(dos "$work/remove.log")" || fail "uninstall exited $?"
fi
[ ! -e "$installed/LaunchBrightloom.exe" ] || fail "uninstall left the launcher"
[ "$(lines "$log")" -eq 5 ] || fail "uninstall did not keep the log"
[ "$(uninstall_entries)" -eq 0 ] || fail "$(uninstall_entries) uninstall entries after uninstalling"
[ -z "$(related_products)" ] || fail "products left: $(related_products)"
echo "msi: installed, ran, reinstalled, rebuilt, upgraded, refused a downgrade, uninstalled by the upgrade code${engine:+ with the documented script and line}; log kept"
