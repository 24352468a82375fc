#!/bin/sh
# The MSI under Wine's msiexec, in a prefix of its own: install, a run of the
# installed launcher, reinstall, a rebuild of the same version, upgrade, a
# refused downgrade, uninstall by the upgrade code. Wine does not enforce file
# permissions, so the log's rights are checked in the package's table only.
set -eu
source_dir=$1
launcher=$2
powershell=$3
export WINEPREFIX=$4
export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='

work=$(mktemp -d)
trap 'wineserver --kill 2>/dev/null || true; rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
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
installed="$WINEPREFIX/drive_c/Program Files/Velmora/Brightloom"
log="$WINEPREFIX/drive_c/Program Files/Common Files/Velmora/Brightloom/bright_loom_launcher_logs.txt"
fallback="$WINEPREFIX/drive_c/ProgramData/Velmora/Brightloom/bright_loom_launcher_logs.txt"

msiexec /i old.msi || fail "install exited $?"
cmp "$launcher" "$installed/LaunchBrightloom.exe" || fail "the installed launcher is not the packaged one"
cmp "$work/notices.txt" "$installed/THIRD-PARTY-NOTICES.txt" || fail "no notices beside the launcher"
[ -f "$log" ] && [ ! -s "$log" ] || fail "no empty log in Common Files"

LB_PS_EXIT_CODE=0 wine_quiet 'C:\Program Files\Velmora\Brightloom\LaunchBrightloom.exe' ||
    fail "the installed launcher exited $?"
[ "$(lines "$log")" -eq 5 ] || fail "$(lines "$log") lines in the Common Files log"
[ ! -e "$fallback" ] || fail "the installed launcher logged to ProgramData"

msiexec /i old.msi || fail "reinstall exited $?"
[ "$(lines "$log")" -eq 5 ] || fail "reinstall changed the log"

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
# the condition's message, which Windows adds.
if msiexec /i old.msi; then fail "a downgrade was installed"; fi
grep -q 'LaunchConditions. Return value 0' "$work/old.msi.log" &&
    grep -q '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$work/old.msi.log" ||
    fail "msiexec's log does not say why the downgrade failed"

# Whatever build is installed goes by the upgrade code, as the docs say, through
# the Installer object's RelatedProducts: a package file names only its own build.
upgrade=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' "$source_dir/packaging/LaunchBrightloom.wxs")
printf '%s\r\n' 'For Each code In CreateObject("WindowsInstaller.Installer").RelatedProducts(WScript.Arguments(0))' \
    'WScript.Echo code' 'Next' >"$work/related.vbs"
related=$(wine cscript //nologo "Z:$(printf '%s' "$work/related.vbs" | tr / '\\')" "{$upgrade}" \
    </dev/null 2>>"$work/wine.out" | tr -d '\r')
[ "$(printf '%s\n' "$related" | grep -c .)" -eq 1 ] || fail "the upgrade code's products: $related"
wine_quiet msiexec /x "$related" /qn /l*v "Z:$(printf '%s' "$work/remove.log" | tr / '\\')" ||
    fail "uninstall exited $?"
[ ! -e "$installed/LaunchBrightloom.exe" ] || fail "uninstall left the launcher"
[ "$(lines "$log")" -eq 5 ] || fail "uninstall did not keep the log"
[ "$(uninstall_entries)" -eq 0 ] || fail "$(uninstall_entries) uninstall entries after uninstalling"
echo "msi: installed, ran, reinstalled, upgraded, refused a downgrade, uninstalled by the upgrade code; log kept"
