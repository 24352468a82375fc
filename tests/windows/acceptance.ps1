# Acceptance of a LaunchBrightloom release on real Windows: what Wine cannot
# show (the log's permissions, junctions, DLL search, Windows PowerShell 5.1
# with the shell's activation, the MSI's permission table, a standard user).
# Run elevated, in Windows PowerShell 5.1:
#   powershell -ExecutionPolicy Bypass -File tests\windows\acceptance.ps1 -Dist .\dist
# One PASS or FAIL line per check, then "N passed, M failed"; exits 1 on any
# failure. Whatever it changes on the machine it puts back, even after a failure;
# only Windows Installer's record of the log's permanent component stays.
[CmdletBinding()]
param(
    # A release folder: LaunchBrightloom.exe, its MSI and SHA256SUMS.
    [Parameter(Mandatory = $true)] [string] $Dist,
    # The tests' planted.dll (build/mingw/bin of tools/test); in -Dist by default.
    [string] $PlantedDll,
    # The app is installed and registered for this user, so activation succeeds.
    [switch] $AppInstalled
)
Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Dist = (Resolve-Path -LiteralPath $Dist).Path
if (-not $PlantedDll) { $PlantedDll = Join-Path $Dist 'planted.dll' }
$LogName = 'bright_loom_launcher_logs.txt'
$ProgramDataMaker = Join-Path $env:ProgramData 'Velmora'
$CommonFilesMaker = Join-Path $env:CommonProgramW6432 'Velmora'
$ProgramDataLog = Join-Path $ProgramDataMaker "Brightloom\$LogName"
$CommonFilesLog = Join-Path $CommonFilesMaker "Brightloom\$LogName"
$InstalledLauncher = Join-Path $env:ProgramW6432 'Velmora\Brightloom\LaunchBrightloom.exe'
# The descriptor the launcher gives a log it creates, and the MSI the log it installs.
$LogSddl = 'D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120085;;;BU)(A;;0x120085;;;OW)'
$UsersSid = 'S-1-5-32-545'
$UpgradeCode = '{4BBCFC5E-DE44-4C0E-984C-60D927CFB35B}'
$Suffix = [guid]::NewGuid().ToString('N').Substring(0, 8)
$Work = Join-Path $env:SystemDrive "LaunchBrightloom-acceptance-$Suffix"
$Launcher = Join-Path $Work 'LaunchBrightloom.exe'
if ($AppInstalled) {
    $Outcome = 'LaunchApp succeeded'; $ExitCode = 0
} else {
    $Outcome = 'LaunchApp failed: App launch failed with PowerShell exit code 1'; $ExitCode = 1
}
$script:Passed = 0
$script:Failed = 0
$script:UserName = $null
$script:Msi = $null
$script:LogsAside = $false

function Assert-True($Condition, [string] $Message) {
    if (-not $Condition) { throw $Message }
}

function Test-Check([string] $Name, [scriptblock] $Body) {
    try {
        $null = & $Body
        $script:Passed++
        Write-Output "PASS $Name"
    } catch {
        $script:Failed++
        Write-Output "FAIL $Name`: $($_.Exception.Message)"
    }
}

function New-Folder([string] $Name) {
    (New-Item -ItemType Directory -Path (Join-Path $Work $Name)).FullName
}

# Unlike Test-Path, true for a junction whose target is gone.
function Test-Exists([string] $Path) {
    [bool](Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue)
}

# A junction or link goes alone, never what it points to.
function Remove-Tree([string] $Path) {
    if (-not (Test-Exists $Path)) { return }
    $item = Get-Item -LiteralPath $Path -Force
    if ($item.Attributes -band [IO.FileAttributes]::ReparsePoint) {
        $item.Delete()
    } else {
        Remove-Item -LiteralPath $Path -Recurse -Force
    }
}

function Reset-LogFolders {
    Remove-Tree $ProgramDataMaker
    Remove-Tree $CommonFilesMaker
}

function Invoke-Launcher([string] $Path, [string] $Directory, [pscredential] $Credential) {
    $start = @{ FilePath = $Path; WorkingDirectory = $Directory; Wait = $true; PassThru = $true }
    if ($Credential) { $start.Credential = $Credential; $start.LoadUserProfile = $true }
    (Start-Process @start).ExitCode
}

function Read-LogLines([string] $Path) {
    if (-not (Test-Path -LiteralPath $Path)) { return @() }
    @([IO.File]::ReadAllLines($Path))
}

# The five lines of one run follow the first $Before lines of the log.
function Assert-RunLogged([string] $Path, [int] $Before, [string] $Outcome, [int] $ExitCode) {
    $lines = @(Read-LogLines $Path)
    Assert-True ($lines.Count -eq $Before + 5) "$Path has $($lines.Count - $Before) new lines, not 5"
    $expected = @('=== LaunchBrightloom started ===', '^App is (NOT running|ALREADY RUNNING) before LaunchApp$',
        'Calling LaunchApp...', $Outcome, "=== LaunchBrightloom finished with exit code $ExitCode ===")
    for ($i = 0; $i -lt 5; $i++) {
        $line = $lines[$Before + $i]
        Assert-True ($line -match '^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] (.*)$') "not a log line: $line"
        $message = $Matches[2]
        $time = [datetime]::ParseExact($Matches[1], 'yyyy-MM-dd HH:mm:ss', [Globalization.CultureInfo]::InvariantCulture)
        Assert-True ([math]::Abs(((Get-Date) - $time).TotalSeconds) -le 60) "not within a minute of now: $line"
        if ($i -eq 1) {
            Assert-True ($message -cmatch $expected[1]) "no probe verdict: $line"
        } else {
            Assert-True ($message -ceq $expected[$i]) "'$message', not '$($expected[$i])'"
        }
    }
}

# Owner and group aside, and whether Windows marks the list as auto-inherited.
function Get-DaclForm([string] $Sddl) {
    $descriptor = New-Object System.Security.AccessControl.RawSecurityDescriptor -ArgumentList $Sddl
    $acl = $descriptor.DiscretionaryAcl
    $bytes = New-Object byte[] $acl.BinaryLength
    $acl.GetBinaryForm($bytes, 0)
    $protected = [System.Security.AccessControl.ControlFlags]::DiscretionaryAclProtected
    '{0} {1}' -f (($descriptor.ControlFlags -band $protected) -ne 0), [Convert]::ToBase64String($bytes)
}

function Assert-LogDescriptor([string] $Path) {
    $sddl = (Get-Acl -LiteralPath $Path).Sddl
    Assert-True ((Get-DaclForm $sddl) -eq (Get-DaclForm $LogSddl)) "$Path has $sddl, not $LogSddl"
}

# Quiet, and never restarting the machine, which would skip the clean-up.
function Invoke-Msiexec([string] $Action, [string] $Log) {
    $arguments = @($Action, "`"$($script:Msi)`"", '/qn', '/norestart', '/l*v', "`"$Log`"")
    $code = (Start-Process -FilePath 'msiexec.exe' -ArgumentList $arguments -Wait -PassThru).ExitCode
    Assert-True ($code -eq 0 -or $code -eq 3010) "msiexec $Action exited $code; see $Log"
}

function Test-Sums {
    $lines = @(Get-Content -LiteralPath (Join-Path $Dist 'SHA256SUMS') | Where-Object { $_ })
    Assert-True ($lines.Count -gt 0) 'SHA256SUMS is empty'
    foreach ($line in $lines) {
        Assert-True ($line -match '^([0-9a-f]{64}) [ *](.+)$') "not a SHA256SUMS line: $line"
        $hash = $Matches[1]
        $file = Join-Path $Dist $Matches[2]
        Assert-True (Test-Path -LiteralPath $file -PathType Leaf) "$file is missing"
        $actual = (Get-FileHash -LiteralPath $file -Algorithm SHA256).Hash.ToLowerInvariant()
        Assert-True ($actual -eq $hash) "$file has $actual, not $hash"
    }
}

function Test-Run {
    Reset-LogFolders
    $code = Invoke-Launcher $Launcher (New-Folder 'run')
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged $ProgramDataLog 0 $Outcome $ExitCode
}

# Appends to the log that Test-Run created, as a new member of Users only.
function Test-StandardUser {
    Assert-True (Test-Path -LiteralPath $ProgramDataLog) 'no log from the first run to append to'
    $before = @(Read-LogLines $ProgramDataLog).Count
    $password = 'Aa1!' + [guid]::NewGuid().ToString('N')
    $secure = ConvertTo-SecureString $password -AsPlainText -Force
    $null = New-LocalUser -Name "lbaccept$Suffix" -Password $secure -AccountNeverExpires -PasswordNeverExpires
    $script:UserName = "lbaccept$Suffix"
    try {
        Add-LocalGroupMember -SID $UsersSid -Member $script:UserName
    } catch {
        if ($_.FullyQualifiedErrorId -notlike 'MemberExists*') { throw }
    }
    $directory = New-Folder 'standard-user'
    & icacls.exe $Work /grant "*$($UsersSid):(OI)(CI)RX" | Out-Null
    $credential = New-Object pscredential -ArgumentList ".\$($script:UserName)", $secure
    try {
        $code = Invoke-Launcher $Launcher $directory $credential
    } catch {
        throw "cannot start a process as another user here: $($_.Exception.Message)"
    }
    # The app is registered for no new user, so this run's activation fails.
    Assert-RunLogged $ProgramDataLog $before 'LaunchApp failed: App launch failed with PowerShell exit code 1' 1
    Assert-True ($code -eq 1) "exit code $code, not 1"
}

function Test-Junction {
    Reset-LogFolders
    $target = New-Folder 'junction-target'
    $directory = New-Folder 'junction-run'
    $null = New-Item -ItemType Junction -Path $ProgramDataMaker -Target $target
    $code = Invoke-Launcher $Launcher $directory
    # Folders may be made through it (docs/security.md), files never.
    $planted = @(Get-ChildItem -LiteralPath $target -Recurse -Force -File)
    Assert-True ($planted.Count -eq 0) "the run wrote through the junction: $(($planted | ForEach-Object { $_.FullName }) -join ', ')"
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged (Join-Path $directory $LogName) 0 $Outcome $ExitCode
}

function Test-PlantedDll {
    Assert-True (Test-Path -LiteralPath $PlantedDll) "no $PlantedDll (give -PlantedDll)"
    Reset-LogFolders
    $folder = New-Folder 'planted'
    $directory = New-Folder 'planted-run'
    $marks = New-Folder 'planted-marks'
    Copy-Item -LiteralPath $Launcher -Destination $folder
    foreach ($name in 'crypt32.dll', 'bcrypt.dll') {
        Copy-Item -LiteralPath $PlantedDll -Destination (Join-Path $folder $name)
        Copy-Item -LiteralPath $PlantedDll -Destination (Join-Path $directory $name)
    }
    $env:LB_PLANTED_MARKS = $marks
    try {
        $code = Invoke-Launcher (Join-Path $folder 'LaunchBrightloom.exe') $directory
    } finally {
        Remove-Item Env:LB_PLANTED_MARKS
    }
    $ran = @(Get-ChildItem -LiteralPath $marks -Name)
    Assert-True ($ran.Count -eq 0) "a planted DLL ran: $($ran -join ', ')"
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged $ProgramDataLog 0 $Outcome $ExitCode
}

function Test-Msi {
    # An installed version would be upgraded, then removed with ours.
    $installed = @((New-Object -ComObject WindowsInstaller.Installer).RelatedProducts($UpgradeCode))
    Assert-True ($installed.Count -eq 0) 'LaunchBrightloom is installed here: run where it is not'
    $msi = @(Get-ChildItem -LiteralPath $Dist -Filter 'LaunchBrightloom-*-x64.msi')
    Assert-True ($msi.Count -eq 1) "$($msi.Count) MSIs in $Dist, not 1"
    Reset-LogFolders
    $script:Msi = $msi[0].FullName
    Invoke-Msiexec '/i' "$Work\install.log"
    $code = Invoke-Launcher $InstalledLauncher (New-Folder 'installed-run')
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged $CommonFilesLog 0 $Outcome $ExitCode
    Assert-True (-not (Test-Path -LiteralPath $ProgramDataLog)) 'the installed launcher logged in ProgramData'
    Assert-LogDescriptor $CommonFilesLog
    Invoke-Msiexec '/x' "$Work\remove.log"
    $script:Msi = $null
    Assert-True (-not (Test-Path -LiteralPath $InstalledLauncher)) 'the launcher stayed after msiexec /x'
    Assert-True (Test-Path -LiteralPath $CommonFilesLog) 'msiexec /x removed the log'
}

# Puts the machine back; a step that fails is reported and counted.
function Undo-Changes {
    $steps = [ordered]@{
        'uninstall the MSI' = { if ($script:Msi) { Invoke-Msiexec '/x' "$Work\clean-up-remove.log" } }
        'remove the temporary user and its profile' = {
            if ($script:UserName) {
                $sid = (Get-LocalUser -Name $script:UserName).SID.Value
                Remove-LocalUser -Name $script:UserName
                # The profile may still be loaded for a moment after the run.
                for ($try = 1; ; $try++) {
                    try {
                        Get-CimInstance -ClassName Win32_UserProfile -Filter "SID = '$sid'" | Remove-CimInstance
                        break
                    } catch {
                        if ($try -ge 15) { throw }
                        Start-Sleep -Seconds 2
                    }
                }
            }
        }
        'restore the log folders' = {
            if ($script:LogsAside) { Reset-LogFolders }
            foreach ($maker in $ProgramDataMaker, $CommonFilesMaker) {
                if (Test-Exists "$maker.acceptance-$Suffix") {
                    # Into a folder still there, it would move inside it.
                    Assert-True (-not (Test-Exists $maker)) "$maker is back; the machine's own waits at $maker.acceptance-$Suffix"
                    Move-Item -LiteralPath "$maker.acceptance-$Suffix" -Destination $maker
                }
            }
        }
        'remove the work folder' = { Remove-Tree $Work }
    }
    foreach ($step in $steps.GetEnumerator()) {
        try { & $step.Value } catch {
            $script:Failed++
            Write-Output "FAIL clean-up, $($step.Key): $($_.Exception.Message)"
        }
    }
}

$principal = New-Object Security.Principal.WindowsPrincipal ([Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    Write-Output 'FAIL run elevated, as an administrator'
    Write-Output '0 passed, 1 failed'
    exit 1
}
try {
    # This machine's own logs wait aside until the end.
    foreach ($maker in $ProgramDataMaker, $CommonFilesMaker) {
        if (Test-Exists $maker) { Move-Item -LiteralPath $maker -Destination "$maker.acceptance-$Suffix" }
    }
    $script:LogsAside = $true
    $null = New-Item -ItemType Directory -Path $Work
    Copy-Item -LiteralPath (Join-Path $Dist 'LaunchBrightloom.exe') -Destination $Launcher
    # A download's zone mark would make Start-Process ask before starting it.
    Unblock-File -LiteralPath $Launcher

    Test-Check 'SHA256SUMS matches the files' { Test-Sums }
    Test-Check "a run logs five lines in ProgramData and exits $ExitCode" { Test-Run }
    Test-Check 'the log that run created has the launcher''s descriptor' { Assert-LogDescriptor $ProgramDataLog }
    Test-Check 'a standard user appends five lines to that log' { Test-StandardUser }
    Test-Check 'a junction at ProgramData\Velmora is not followed' { Test-Junction }
    Test-Check 'DLLs planted beside the launcher and in its folder never load' { Test-PlantedDll }
    Test-Check 'the MSI installs, its launcher logs under the locked descriptor, and it uninstalls' { Test-Msi }
} catch {
    $script:Failed++
    Write-Output "FAIL setting up: $($_.Exception.Message)"
} finally {
    Undo-Changes
}
Write-Output "$($script:Passed) passed, $($script:Failed) failed"
if ($script:Failed -gt 0) { exit 1 }
exit 0
