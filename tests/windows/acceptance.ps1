# Acceptance of a LaunchBrightloom release on real Windows: what Wine cannot
# show (the log's permissions, junctions, DLL search, oplocks, Windows PowerShell
# 5.1 with the shell's activation, the MSI's permissions and lifecycle, a standard user).
# Run elevated, in Windows PowerShell 5.1:
#   powershell -ExecutionPolicy Bypass -File tests\windows\acceptance.ps1 -Dist .\dist
# One PASS or FAIL line per check, then "N passed, M failed"; exits 1 on any
# failure. Whatever it changes on the machine it puts back, even after a failure,
# but not when cancelled: a cancelled or timed-out job stops it within some 10 s;
# only Windows Installer's record of the log's permanent component stays.
# msiexec's logs, PowerShell's transcripts and each run's log outlive the work
# folder, in LaunchBrightloom-acceptance under $env:RUNNER_TEMP (else $env:TEMP).
# Nothing here has run on Windows yet: each check says why it can fail.
[CmdletBinding()]
param(
    # A release folder: LaunchBrightloom.exe, its MSI and SHA256SUMS.
    [Parameter(Mandatory = $true)] [string] $Dist,
    # The tests' planted.dll (build/mingw/bin of tools/test); in -Dist by default.
    [string] $PlantedDll,
    # The tests' oplock_holder.exe, beside planted.dll; in -Dist by default.
    [string] $OplockHolder,
    # rebuild.msi (the release's version built at another time) and newer.msi (the next
    # version), which the MSI's lifecycle check installs; $Dist\lifecycle by default.
    [string] $Lifecycle,
    # The app is installed and registered for this user, so activation succeeds.
    [switch] $AppInstalled
)
Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
. (Join-Path $PSScriptRoot 'acceptance-helpers.ps1')

$Dist = (Resolve-Path -LiteralPath $Dist).Path
if (-not $PlantedDll) { $PlantedDll = Join-Path $Dist 'planted.dll' }
if (-not $OplockHolder) { $OplockHolder = Join-Path $Dist 'oplock_holder.exe' }
if (-not $Lifecycle) { $Lifecycle = Join-Path $Dist 'lifecycle' }
$Deployment = Join-Path $PSScriptRoot '..\..\docs\deployment.md'
$LogName = 'bright_loom_launcher_logs.txt'
$ProgramDataMaker = Join-Path $env:ProgramData 'Velmora'
$CommonFilesMaker = Join-Path $env:CommonProgramW6432 'Velmora'
$ProgramDataLog = Join-Path $ProgramDataMaker "Brightloom\$LogName"
$CommonFilesLog = Join-Path $CommonFilesMaker "Brightloom\$LogName"
$InstalledLauncher = Join-Path $env:ProgramW6432 'Velmora\Brightloom\LaunchBrightloom.exe'
$WindowsPowerShell = Join-Path $env:SystemRoot 'System32\WindowsPowerShell\v1.0\powershell.exe'
$PolicyKey = 'SOFTWARE\Policies\Microsoft\Windows\PowerShell'
$RunSeconds = 120
# A run whose log is held waits about 5 s at each open, then goes on without the line.
$HeldRunSeconds = 60
$MsiSeconds = 600
$UsersSid = 'S-1-5-32-545'
$UpgradeCode = '{4BBCFC5E-DE44-4C0E-984C-60D927CFB35B}'
$Suffix = [guid]::NewGuid().ToString('N').Substring(0, 8)
$Work = Join-Path $env:SystemDrive "LaunchBrightloom-acceptance-$Suffix"
$Launcher = Join-Path $Work 'LaunchBrightloom.exe'
$Kept = Join-Path $(if ($env:RUNNER_TEMP) { $env:RUNNER_TEMP } else { $env:TEMP }) "LaunchBrightloom-acceptance\$Suffix"
if ($AppInstalled) {
    $Outcome = 'LaunchApp succeeded'; $ExitCode = 0
} else {
    $Outcome = 'LaunchApp failed: App launch failed with PowerShell exit code 1'; $ExitCode = 1
}
$script:Passed = 0
$script:Failed = 0
$script:UserName = $null
$script:Installing = $false
$script:LogsAside = $false
$script:PoliciesSaved = $null
$script:LogsKept = 0
$script:RunRecords = $null
$script:RunStart = $null
$script:FirstRunPassed = $false
# When the last program Invoke-Bounded started was started: the run whose lines are checked next.
$script:Started = Get-Date
# INFO lines a check leaves, printed after its PASS or FAIL line.
$script:Info = @()
# Microsoft.PowerShell.LocalAccounts may not ship everywhere (Windows on Arm is undecided); net.exe does.
$LocalAccounts = [bool](Get-Command -Name 'New-LocalUser' -ErrorAction SilentlyContinue)

# -AfterFirstRun: the check builds on the first run, and says so when that failed.
function Test-Check([string] $Name, [scriptblock] $Body, [switch] $AfterFirstRun) {
    try {
        $null = & $Body
        $script:Passed++
        Write-Output "PASS $Name"
    } catch {
        $script:Failed++
        $note = if ($AfterFirstRun -and -not $script:FirstRunPassed) { ' (it builds on the first run, which failed)' } else { '' }
        Write-Output "FAIL $Name`: $($_.Exception.Message)$note"
    }
    $script:Info | ForEach-Object { "INFO $_" }
    $script:Info = @()
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

# Past its time limit a program is stopped with what it started, and the check fails; of msiexec
# that is the client alone, while the Windows Installer service goes on with the installation.
function Invoke-Bounded([hashtable] $Start, [int] $Seconds) {
    $script:Started = Get-Date
    $process = Start-Process @Start -PassThru
    # Opened while it runs: 5.1 keeps no handle to a process started with
    # -Credential, and without one its exit code is lost.
    $null = $process.Handle
    if (-not $process.WaitForExit($Seconds * 1000)) {
        & taskkill.exe /PID $process.Id /T /F | Out-Null
        throw "$($Start.FilePath) still running after $Seconds s, stopped"
    }
    $process.ExitCode
}

function Invoke-Launcher([string] $Path, [string] $Directory, [pscredential] $Credential) {
    $start = @{ FilePath = $Path; WorkingDirectory = $Directory }
    if ($Credential) { $start.Credential = $Credential; $start.LoadUserProfile = $true }
    Invoke-Bounded $start $RunSeconds
}

function ConvertTo-EncodedCommand([string] $Command) { [Convert]::ToBase64String([Text.Encoding]::Unicode.GetBytes($Command)) }

function Read-LogLines([string] $Path) {
    if (-not (Test-Path -LiteralPath $Path)) { return @() }
    @([IO.File]::ReadAllLines($Path))
}

# The five lines of the run last started follow the first $Before lines of the log, which is kept.
function Assert-RunLogged([string] $Path, [int] $Before, [string] $Outcome, [int] $ExitCode) {
    $lines = @(Read-LogLines $Path)
    if ($lines.Count -gt 0) {
        $script:LogsKept++
        Copy-Item -LiteralPath $Path -Destination (Join-Path $Kept "run-log-$($script:LogsKept).txt")
    }
    try { Assert-RunLines $lines $Before $Outcome $ExitCode $script:Started (Get-Date) } catch { throw "$Path`: $($_.Exception.Message)" }
}

function Assert-LogDescriptor([string] $Path) {
    try { Assert-LogDacl (Get-Acl -LiteralPath $Path).Sddl } catch { throw "$Path has $($_.Exception.Message)" }
}

# Quiet, and never restarting the machine, which would skip the clean-up.
function Invoke-Msiexec([string] $Action, [string] $Target, [string] $LogName, [int[]] $Accepted = @(0, 3010)) {
    $log = Join-Path $Kept $LogName
    $arguments = @($Action, "`"$Target`"", '/qn', '/norestart', '/l*v', "`"$log`"")
    # 1618: another installation is in progress, such as one whose client was stopped past its limit.
    for ($waited = 0; ; $waited += 15) {
        $code = Invoke-Bounded @{ FilePath = 'msiexec.exe'; ArgumentList = $arguments } $MsiSeconds
        if ($code -ne 1618 -or $waited -ge $MsiSeconds) { break }
        Start-Sleep -Seconds 15
    }
    Assert-True ($Accepted -contains $code) "msiexec $Action $(Split-Path -Leaf $Target) exited $code, not $($Accepted -join ' or '); see $log"
}

function Get-RelatedProducts { @((New-Object -ComObject WindowsInstaller.Installer).RelatedProducts($UpgradeCode)) }

# Whatever build is installed, removed by its product code.
function Remove-RelatedProducts([string] $LogPrefix) {
    foreach ($code in @(Get-RelatedProducts)) { Invoke-Msiexec '/x' $code "$LogPrefix-$code.log" }
}

# Fails on a file changed, missing or not listed, or a line not in sha256sum's form (canned cases: helpers_test.ps1).
function Test-Sums {
    Assert-HashList @(Get-Content -LiteralPath (Join-Path $Dist 'SHA256SUMS')) $ReleaseFiles {
        $file = Join-Path $Dist $args[0]
        if (Test-Path -LiteralPath $file -PathType Leaf) { (Get-FileHash -LiteralPath $file -Algorithm SHA256).Hash.ToLowerInvariant() }
    }
}

function Set-Policy([string] $Key, [string] $Name, $Value, [string] $Type = 'DWord') {
    if (-not (Test-Path -LiteralPath "HKLM:\$PolicyKey\$Key")) { $null = New-Item -Path "HKLM:\$PolicyKey\$Key" -Force }
    $null = New-ItemProperty -LiteralPath "HKLM:\$PolicyKey\$Key" -Name $Name -Value $Value -PropertyType $Type -Force
}

# Windows PowerShell's own record of each session started from now on: a transcript
# (machine policy) and every script block it runs (event 4104). The policies as they
# were are exported first, and nothing is changed unless that worked.
function Enable-PowerShellRecords {
    $saved = ''
    if (Test-Path -LiteralPath "HKLM:\$PolicyKey") {
        $saved = Join-Path $Kept 'powershell-policies-before.reg'
        Invoke-Reg 'export', "HKLM\$PolicyKey", "`"$saved`"", '/y'
    }
    $script:PoliciesSaved = $saved
    Set-Policy 'Transcription' 'EnableTranscripting' 1
    Set-Policy 'Transcription' 'EnableInvocationHeader' 1
    Set-Policy 'ScriptBlockLogging' 'EnableScriptBlockLogging' 1
}

function Restore-PowerShellPolicies {
    if ($null -eq $script:PoliciesSaved) { return }
    if (Test-Path -LiteralPath "HKLM:\$PolicyKey") { Remove-Item -LiteralPath "HKLM:\$PolicyKey" -Recurse -Force }
    if ($script:PoliciesSaved) { Invoke-Reg 'import', "`"$($script:PoliciesSaved)`"" }
}

# reg.exe's output goes to files: `reg import` is reported to write its success on standard error,
# which $ErrorActionPreference = 'Stop' could make an error.
function Invoke-Reg([string[]] $Arguments) {
    $output = Join-Path $Kept "reg-$($Arguments[0]).txt"
    $code = Invoke-Bounded @{ FilePath = 'reg.exe'; ArgumentList = $Arguments; NoNewWindow = $true
        RedirectStandardOutput = $output; RedirectStandardError = "$output.errors" } $RunSeconds
    Assert-True ($code -eq 0) "reg $($Arguments -join ' ') exited $code`: $(Get-Content -Raw -LiteralPath $output, "$output.errors")"
}

# Sessions started from now on are transcribed into a folder of their own.
function Set-TranscriptFolder([string] $Name) {
    $folder = (New-Item -ItemType Directory -Path (Join-Path $Kept "transcripts\$Name") -Force).FullName
    Set-Policy 'Transcription' 'OutputDirectory' $folder 'String'
    $folder
}

# What Windows PowerShell recorded of the one hidden session the launcher started. Fails
# for another engine or version (PSVersion), a script that did not parse or reach
# Start-Process (the transcript's error), and a script other than the launcher's (4104).
function Assert-PowerShellEvidence([string] $Folder, [datetime] $Since) {
    $sessions = @(Get-ChildItem -LiteralPath $Folder -Recurse -File -Filter 'PowerShell_transcript*.txt' |
        ForEach-Object { Read-Transcript @(Get-Content -LiteralPath $_.FullName) })
    $sessions = Select-LauncherSession $sessions
    Assert-True ($sessions.Count -eq 1) "$($sessions.Count) transcripts of the launcher's encoded command in $Folder, not 1"
    Assert-HiddenSession $sessions[0] $AppInstalled.IsPresent
    $filter = @{ LogName = 'Microsoft-Windows-PowerShell/Operational'; Id = 4104; StartTime = $Since }
    # The event may reach the log a moment after the session has ended.
    for ($try = 1; ; $try++) {
        $events = @(Get-WinEvent -FilterHashtable $filter -ErrorAction SilentlyContinue |
            ForEach-Object { @{ ProcessId = $_.ProcessId; Text = $_.Properties[2].Value } })
        try { return Assert-ScriptBlockLogged $events $sessions[0].ProcessId $ActivationScript } catch { if ($try -ge 5) { throw } }
        Start-Sleep -Seconds 2
    }
}

# Fails on a wrong exit code or log line (canned cases: helpers_test.ps1).
function Test-Run {
    Reset-LogFolders
    $script:RunRecords = Set-TranscriptFolder 'run'
    $script:RunStart = Get-Date
    $code = Invoke-Launcher $Launcher (New-Folder 'run')
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged $ProgramDataLog 0 $Outcome $ExitCode
    $script:FirstRunPassed = $true
}

# A run whose log's opens meet a Read-Write-Handle oplock: in 'hold' mode never let go, so
# only the run's bound on each open ends it, and the probe's place counts as unusable: the five
# lines go to the next place, $Next (the run's current folder when not given). In 'ack' mode let
# go at each break, so the run must lose no line, and at least one break must show that the
# oplock was in its way. In 'filter' mode a filter oplock is never let go: whether the run's open
# breaks it or only its append, the pages disagree, so an INFO line says which. In 'atomic' mode
# a handle opened requiring an oplock never asks for one. Except in 'ack' mode, only the run's
# bound on each open and operation ends it; in 'hold' and 'filter' the holder's mark of a break
# shows that the run met the oplock at all.
function Invoke-UnderOplock([string] $Mode, [string] $Log, [string] $Path, [string] $Next) {
    Assert-True (Test-Path -LiteralPath $OplockHolder -PathType Leaf) "no $OplockHolder (give -OplockHolder)"
    Assert-True (Test-Path -LiteralPath $Log) "no $Log to take an oplock on"
    $name = "oplock-$Mode-$(@(Get-ChildItem -LiteralPath $Work -Filter 'oplock-*').Count)"
    $folder = New-Folder $name
    if (-not $Next) { $Next = Join-Path $folder $LogName }
    # Read while no oplock is held: this script's own opens would break one and wait on it.
    $before, $nextBefore, $programDataBefore = $Log, $Next, $ProgramDataLog | ForEach-Object { @(Read-LogLines $_).Count }
    $ready = Join-Path $Work "$name.ready"
    $output = Join-Path $Kept "$name.txt"
    $errors = Join-Path $Kept "$name.errors.txt"
    $holder = Start-Process -FilePath $OplockHolder -PassThru -RedirectStandardOutput $output -RedirectStandardError $errors `
        -ArgumentList "`"$Log`"", $Mode, "`"$ready`"", $(if ($Mode -ne 'ack') { 600 } else { 30 })
    $null = $holder.Handle
    try {
        for ($tenths = 0; -not (Test-Path -LiteralPath $ready); $tenths++) {
            # Exit 2: no oplock granted (or the atomic open refused), so no run could be held by it; never a pass.
            if ($holder.HasExited) { throw "oplock_holder $Mode exited $($holder.ExitCode) before it held $Log`: $(Get-Content -Raw -LiteralPath $errors)" }
            Assert-True ($tenths -lt 300) "oplock_holder held no oplock on $Log after 30 s"
            Start-Sleep -Milliseconds 100
        }
        $code = Invoke-Bounded @{ FilePath = $Path; WorkingDirectory = $folder } $HeldRunSeconds
        Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
        if ($Mode -eq 'hold' -or $Mode -eq 'filter') {
            Assert-True (Test-Path -LiteralPath "$ready.broken") "the run never met the oplock (oplock_holder saw no break)"
        }
        # $Next is never the held log.
        if ($Mode -eq 'hold') { Assert-RunLogged $Next $nextBefore $Outcome $ExitCode }
        if ($Mode -eq 'ack') {
            Assert-RunLogged $Log $before $Outcome $ExitCode
            Assert-True ($holder.WaitForExit(60000) -and $holder.ExitCode -eq 0) "oplock_holder ack did not end with 0 in time; see $output"
            $breaks = @(Get-Content -LiteralPath $output | Where-Object { $_ -match '^breaks (\d+)$' } | ForEach-Object { [int]$Matches[1] })
            Assert-True ($breaks.Count -eq 1 -and $breaks[0] -gt 0) "the oplock never broke (oplock_holder: $(Get-Content -Raw -LiteralPath $output)), so the run met none"
        }
    } finally {
        # Gone, so that its handles do not keep the next holder's exclusive oplock from being granted.
        if (-not $holder.HasExited) { & taskkill.exe /PID $holder.Id /T /F | Out-Null; $null = $holder.WaitForExit(10000) }
    }
    if ($Mode -eq 'filter') {
        $here = @(Read-LogLines $Next).Count - $nextBefore
        $added = @(Read-LogLines $ProgramDataLog).Count - $programDataBefore
        $script:Info += if ($here -eq 5) { "filter oplock on $Log`: the run's open broke it (five lines in its current folder)" }
        elseif ($here -eq 0 -and $added -eq 0) { "filter oplock on $Log`: the run's append broke it and was given up (no line kept)" }
        else { "filter oplock on $Log`: $here lines in the run's current folder, $added new in ProgramData" }
    }
}

# A log in ProgramData to hold: the first run's, else a new one.
function Initialize-ProgramDataLog {
    if (Test-Path -LiteralPath $ProgramDataLog) { return }
    Reset-LogFolders
    $code = Invoke-Launcher $Launcher (New-Folder 'oplock-first-run')
    Assert-True ($code -eq $ExitCode) "the run that makes the log to hold exited $code, not $ExitCode"
}

# PowerShell 7 puts its own module folders first in PSModulePath; handed down to 5.1,
# they make Start-Process "found in the module ..., but the module could not be loaded",
# which the transcript shows and this check fails on.
function Test-FromPwsh {
    $pwsh = Get-Command -Name 'pwsh.exe' -CommandType Application -ErrorAction SilentlyContinue | Select-Object -First 1
    Assert-True $pwsh 'no pwsh on the PATH'
    Reset-LogFolders
    $records = Set-TranscriptFolder 'from-pwsh'
    $since = Get-Date
    # As the README tells automation to call it.
    $command = "exit (Start-Process -FilePath '$Launcher' -Wait -PassThru).ExitCode"
    $arguments = '-NoProfile', '-NonInteractive', '-EncodedCommand', (ConvertTo-EncodedCommand $command)
    $code = Invoke-Bounded @{ FilePath = $pwsh.Path; ArgumentList = $arguments; WorkingDirectory = (New-Folder 'pwsh-run') } $RunSeconds
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged $ProgramDataLog 0 $Outcome $ExitCode
    Assert-PowerShellEvidence $records $since
}

# Reads and appends to the log that Test-Run created, as a new member of Users only.
# Get-Content opens it for GENERIC_READ, that is FILE_GENERIC_READ (winnt.h), whose
# FILE_READ_EA (0x8) the older rights for Users, 0x120085, lack: the read fails there.
function Test-StandardUser {
    Assert-True (Test-Path -LiteralPath $ProgramDataLog) 'no log from the first run to read and append to'
    # Start-Process -Credential goes through it; an image may lack it (Windows on Arm is undecided).
    $seclogon = Get-Service -Name 'seclogon' -ErrorAction SilentlyContinue
    Assert-True ($seclogon -and $seclogon.StartType -ne 'Disabled') 'no Secondary Logon service (seclogon), or it is disabled: Start-Process -Credential needs it'
    $before = @(Read-LogLines $ProgramDataLog).Count
    # 14 characters: net user asks before it sets a longer password.
    $password = 'Aa1!' + [guid]::NewGuid().ToString('N').Substring(0, 10)
    $secure = ConvertTo-SecureString $password -AsPlainText -Force
    $name = "lbaccept$Suffix"
    if ($LocalAccounts) {
        $null = New-LocalUser -Name $name -Password $secure -AccountNeverExpires -PasswordNeverExpires
        $script:UserName = $name
        try { Add-LocalGroupMember -SID $UsersSid -Member $name } catch { if ($_.FullyQualifiedErrorId -notlike 'MemberExists*') { throw } }
    } else {
        Invoke-Net user $name $password /add
        $script:UserName = $name
        # The group's name is the system language's.
        $users = ((New-Object Security.Principal.SecurityIdentifier $UsersSid).Translate([Security.Principal.NTAccount]).Value -split '\\')[-1]
        if (@(& net.exe localgroup $users) -notcontains $name) { Invoke-Net localgroup $users $name /add }
    }
    $directory = New-Folder 'standard-user'
    & icacls.exe $Work /grant "*$($UsersSid):(OI)(CI)RX" | Out-Null
    # Its sessions must be able to write their transcripts.
    $records = Set-TranscriptFolder 'standard-user'
    & icacls.exe $records /grant "*$($UsersSid):(OI)(CI)M" | Out-Null
    $credential = New-Object pscredential -ArgumentList ".\$($script:UserName)", $secure
    $read = "try { `$null = Get-Content -LiteralPath '$ProgramDataLog' -ErrorAction Stop; exit 0 } catch { `$_.Exception.Message; exit 1 }"
    $readCode = Invoke-Bounded @{ FilePath = $WindowsPowerShell; WorkingDirectory = $directory; Credential = $credential; LoadUserProfile = $true
        ArgumentList = '-NoProfile', '-NonInteractive', '-EncodedCommand', (ConvertTo-EncodedCommand $read) } $RunSeconds
    $code = Invoke-Launcher $Launcher $directory $credential
    Assert-True ($readCode -eq 0) "Get-Content as the standard user exited $readCode; its transcript is in $records"
    # The app is registered for no new user, so this run's activation fails.
    Assert-RunLogged $ProgramDataLog $before 'LaunchApp failed: App launch failed with PowerShell exit code 1' 1
    Assert-True ($code -eq 1) "exit code $code, not 1"
}

# Fails when a run's file lands behind the junction or its lines are not in its current folder.
function Test-Junction {
    Reset-LogFolders
    $null = Set-TranscriptFolder 'junction'
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

# Its output is shown only on failure; arguments past the second (a password) never.
function Invoke-Net {
    $output = & net.exe @args
    Assert-True ($LASTEXITCODE -eq 0) "net $($args[0]) $($args[1]) exited $LASTEXITCODE`: $output"
}

function Invoke-Marked([string] $Marks, [scriptblock] $Body) {
    $env:LB_PLANTED_MARKS = $Marks
    try { & $Body } finally { Remove-Item Env:LB_PLANTED_MARKS }
}

# The positive control: without it, no mark could mean only that planted.dll cannot mark
# here. Its loader is x64 so that on ARM64 Windows it runs emulated, as the launcher does.
function Assert-PlantedDllMarks {
    $folder = New-Folder 'control'
    $marks = New-Folder 'control-marks'
    $dll = Join-Path $folder "lbcontrol$Suffix.dll"
    Copy-Item -LiteralPath $PlantedDll -Destination $dll
    Set-Content -LiteralPath "$folder\load.cs" -Value ('class Load { [System.Runtime.InteropServices.DllImport("kernel32.dll", CharSet = System.Runtime.InteropServices.CharSet.Unicode)] ' +
        'static extern System.IntPtr LoadLibraryW(string path); static int Main(string[] a) { return LoadLibraryW(a[0]) == System.IntPtr.Zero ? 1 : 0; } }')
    $compiler = "$env:SystemRoot\Microsoft.NET\Framework64\v4.0.30319\csc.exe"
    Assert-True (Test-Path -LiteralPath $compiler -PathType Leaf) "no $compiler, the .NET Framework 4 compiler that builds the control's loader"
    $csc = @{ FilePath = $compiler; RedirectStandardOutput = "$Kept\csc.log"
        ArgumentList = '/nologo', '/platform:x64', "/out:$folder\load.exe", "$folder\load.cs" }
    Assert-True ((Invoke-Bounded $csc $RunSeconds) -eq 0) "csc.exe could not build the control's loader; see $Kept\csc.log"
    $code = Invoke-Marked $marks { Invoke-Bounded @{ FilePath = "$folder\load.exe"; ArgumentList = "`"$dll`"" } $RunSeconds }
    Assert-True ($code -eq 0) "the control could not load $dll (exit $code)"
    Assert-True (Test-Path -LiteralPath "$marks\lbcontrol$Suffix.dll.ran") "$dll loaded without leaving its mark in $marks"
}

# Only beside the launcher: System32 comes before the current folder in the DLL search
# order, so copies there under these System32 names could never load, and such a check
# could not fail. Beside it they are first in that order, so a load by name would take them.
function Test-PlantedDll {
    Assert-True (Test-Path -LiteralPath $PlantedDll) "no $PlantedDll (give -PlantedDll)"
    Assert-PlantedDllMarks
    Reset-LogFolders
    $null = Set-TranscriptFolder 'planted'
    $folder = New-Folder 'planted'
    $marks = New-Folder 'planted-marks'
    Copy-Item -LiteralPath $Launcher -Destination $folder
    foreach ($name in 'crypt32.dll', 'bcrypt.dll') {
        Copy-Item -LiteralPath $PlantedDll -Destination (Join-Path $folder $name)
    }
    $code = Invoke-Marked $marks { Invoke-Launcher (Join-Path $folder 'LaunchBrightloom.exe') (New-Folder 'planted-run') }
    $ran = @(Get-ChildItem -LiteralPath $marks -Name)
    Assert-True ($ran.Count -eq 0) "a planted DLL ran: $($ran -join ', ')"
    Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
    Assert-RunLogged $ProgramDataLog 0 $Outcome $ExitCode
}

function Find-Msi([string] $Folder, [string] $Filter) {
    $found = @(Get-ChildItem -LiteralPath $Folder -Filter $Filter -ErrorAction SilentlyContinue)
    Assert-True ($found.Count -eq 1) "$($found.Count) files $Filter in $Folder, not 1"
    $found[0].FullName
}

# Fails when the install, the installed run, its descriptor, its run past a held oplock,
# its version resource or the removal goes wrong.
function Test-Msi {
    # An installed version would be upgraded, then removed with ours.
    Assert-True (@(Get-RelatedProducts).Count -eq 0) 'LaunchBrightloom is installed here: run where it is not'
    $msi = Find-Msi $Dist 'LaunchBrightloom-*-x64.msi'
    Reset-LogFolders
    $null = Set-TranscriptFolder 'msi'
    $script:Installing = $true
    try {
        Invoke-Msiexec '/i' $msi 'install.log'
        $code = Invoke-Launcher $InstalledLauncher (New-Folder 'installed-run')
        Assert-True ($code -eq $ExitCode) "exit code $code, not $ExitCode"
        Assert-RunLogged $CommonFilesLog 0 $Outcome $ExitCode
        Assert-True (-not (Test-Path -LiteralPath $ProgramDataLog)) 'the installed launcher logged in ProgramData'
        Assert-LogDescriptor $CommonFilesLog
        # The Common Files probe fails, so the lines go to ProgramData.
        Invoke-UnderOplock 'hold' $CommonFilesLog $InstalledLauncher $ProgramDataLog
        $released = Assert-VersionInfo (Get-Item -LiteralPath (Join-Path $Dist 'LaunchBrightloom.exe')).VersionInfo (Split-Path -Leaf $msi)
        $installed = Assert-VersionInfo (Get-Item -LiteralPath $InstalledLauncher).VersionInfo (Split-Path -Leaf $msi)
        Assert-True ($installed -ceq $released) "the installed launcher's version resource ($installed) is not the release's ($released)"
        Invoke-Msiexec '/x' $msi 'remove.log'
        Assert-True (-not (Test-Path -LiteralPath $InstalledLauncher)) 'the launcher stayed after msiexec /x'
        Assert-True (Test-Path -LiteralPath $CommonFilesLog) 'msiexec /x removed the log'
    } finally {
        # Left installed after a failure, it would make the lifecycle check refuse to run.
        Remove-RelatedProducts 'msi-clean-up'
        $script:Installing = $false
    }
}

# A script of docs/deployment.md as it stands there, saved by Test-MsiLifecycle, run by Windows PowerShell
# as a file; or (-Line) one of its command lines, run by cmd.exe ($Shell) in $Folder. Its exit code,
# the lines it wrote and its standard error, which must stay empty where the script succeeds:
# Configuration Manager reads exit 0 with no output and an error as Unknown.
function Invoke-DocumentedScript([string] $Name, [string] $When, [string] $Line, [string] $Shell, [string] $Folder = $Work) {
    $output = Join-Path $Kept "$Name-$When.txt"
    $start = @{ FilePath = $WindowsPowerShell; RedirectStandardOutput = $output; RedirectStandardError = "$output.errors"; WorkingDirectory = $Folder
        ArgumentList = '-NoProfile', '-ExecutionPolicy', 'Bypass', '-File', "`"$(Join-Path $Work "$Name.ps1")`"" }
    # The line as written: cmd /c strips no quote from a line that does not start with one.
    if ($Line) { $start.FilePath = $Shell; $start.ArgumentList = "/d /c $Line" }
    $code = Invoke-Bounded $start $MsiSeconds
    $lines = @(Get-Content -LiteralPath $output | Where-Object { $_.Trim() })
    $errors = [IO.File]::ReadAllText("$output.errors")
    New-Object psobject -Property @{ Code = $code; Lines = $lines; Errors = $errors
        Said = "exited $code and wrote $($lines.Count) lines ($($lines -join '; ')); errors: '$errors'" }
}

# A build's life as a fleet meets it (docs/deployment.md): a rebuild of the release's version
# replaces it, so that the release's own file names nothing installed; the next version
# upgrades it and keeps the log; the release is refused over that; the documented scripts
# detect it, and the documented uninstall lines fail without their script and remove every build.
function Test-MsiLifecycle {
    Assert-True (@(Get-RelatedProducts).Count -eq 0) 'LaunchBrightloom is installed here: run where it is not'
    $release = Find-Msi $Dist 'LaunchBrightloom-*-x64.msi'
    $rebuild = Find-Msi $Lifecycle 'rebuild.msi'
    $newer = Find-Msi $Lifecycle 'newer.msi'
    # Read first: a script or line missing from the docs fails the check before anything is installed.
    $docs = @(Get-Content -LiteralPath $Deployment)
    foreach ($name in 'detect', 'remove-all-builds') {
        Set-Content -LiteralPath (Join-Path $Work "$name.ps1") -Encoding UTF8 -Value (Get-MarkedScript $docs $name)
    }
    $intuneLine, $configMgrLine = 'uninstall-intune', 'uninstall-configmgr' | ForEach-Object { Get-MarkedScript $docs $_ 'command' 'bat' }
    # Intune's agent is a 32-bit program, for which its line names Sysnative; Configuration Manager's client runs it 64-bit.
    $cmd32 = Join-Path $env:SystemRoot 'SysWOW64\cmd.exe'
    Assert-True (Test-Path -LiteralPath $cmd32 -PathType Leaf) "no $cmd32 (WoW64) to run Intune's uninstall line as its 32-bit agent does"
    $null = Set-TranscriptFolder 'lifecycle'
    $script:Installing = $true
    Invoke-Msiexec '/i' $release 'lifecycle-release.log'
    $detected = Invoke-DocumentedScript 'detect' 'installed'
    Assert-True ($detected.Code -eq 0 -and $detected.Lines.Count -gt 0 -and -not $detected.Errors) "the detection script, with the release installed, $($detected.Said)"
    Invoke-Msiexec '/i' $rebuild 'lifecycle-rebuild.log'
    $related = @(Get-RelatedProducts)
    Assert-True ($related.Count -eq 1) "$($related.Count) products of the upgrade code after the rebuild, not 1: $related"
    # 1605, ERROR_UNKNOWN_PRODUCT: the release's product code is no longer installed.
    Invoke-Msiexec '/x' $release 'lifecycle-remove-release.log' @(1605)
    $before = @(Read-LogLines $CommonFilesLog).Count
    $code = Invoke-Launcher $InstalledLauncher (New-Folder 'lifecycle-run')
    Assert-True ($code -eq $ExitCode) "the rebuild's launcher exited $code, not $ExitCode"
    Assert-RunLogged $CommonFilesLog $before $Outcome $ExitCode
    $log = @(Read-LogLines $CommonFilesLog) -join "`n"
    Invoke-Msiexec '/i' $newer 'lifecycle-upgrade.log'
    Assert-True ((@(Read-LogLines $CommonFilesLog) -join "`n") -ceq $log) 'the upgrade changed the log'
    Assert-LogDescriptor $CommonFilesLog
    # 1603, ERROR_INSTALL_FAILURE: with a newer version installed, the launch condition
    # NOT WIX_DOWNGRADE_DETECTED fails, which terminates the install (LaunchConditions action).
    Invoke-Msiexec '/i' $release 'lifecycle-downgrade.log' @(1603)
    # Where the script cannot be loaded, the line must not read as a success.
    $missing = Invoke-DocumentedScript 'remove-all-builds' 'script-missing' $configMgrLine (Join-Path $env:SystemRoot 'System32\cmd.exe') (New-Folder 'no-script')
    Assert-True ($missing.Code -eq 1 -and @(Get-RelatedProducts).Count -eq 1) "Configuration Manager's uninstall line, with no script beside it, $($missing.Said)"
    $removed = Invoke-DocumentedScript 'remove-all-builds' 'newer-installed' $intuneLine $cmd32
    $left = @(Get-RelatedProducts)
    Assert-True ($removed.Code -eq 0 -and $removed.Lines.Count -eq 1 -and -not $removed.Errors -and $left.Count -eq 0) "Intune's uninstall line left $($left.Count) products; it $($removed.Said)"
    $script:Installing = $false
    Assert-True ((@(Read-LogLines $CommonFilesLog) -join "`n") -ceq $log) 'the removal script changed the log'
    $detected = Invoke-DocumentedScript 'detect' 'removed'
    Assert-True ($detected.Code -eq 0 -and $detected.Lines.Count -eq 0 -and -not $detected.Errors) "the detection script, with nothing installed, $($detected.Said)"
}

# Puts the machine back; a step that fails is reported and counted.
function Undo-Changes {
    $steps = [ordered]@{
        # Whatever build a check left; none was installed before (Test-Msi).
        'uninstall the MSI' = {
            if ($script:Installing) { Remove-RelatedProducts 'clean-up-remove' }
        }
        'remove the temporary user and its profile' = {
            if ($script:UserName) {
                $sid = (New-Object Security.Principal.NTAccount $script:UserName).Translate([Security.Principal.SecurityIdentifier]).Value
                if ($LocalAccounts) { Remove-LocalUser -Name $script:UserName } else { Invoke-Net user $script:UserName /delete }
                # A fresh profile can stay loaded for minutes after the run (Windows 11, Server 2025).
                $filter = "SID = '$sid'"
                for ($try = 0; $try -lt 60 -and @(Get-CimInstance -ClassName Win32_UserProfile -Filter $filter | Where-Object { $_.Loaded }).Count; $try++) {
                    Start-Sleep -Seconds 2
                }
                $userProfile = Get-CimInstance -ClassName Win32_UserProfile -Filter $filter
                # Windows' to unload, not the launcher's fault: no check fails for it.
                if ($userProfile -and $userProfile.Loaded) {
                    Write-Output "WARN clean-up: the temporary user's profile $($userProfile.LocalPath) ($sid) is still loaded after 2 minutes; remove it once unloaded"
                } elseif ($userProfile) {
                    try { $userProfile | Remove-CimInstance } catch { Write-Output "WARN clean-up: the temporary user's profile $($userProfile.LocalPath) ($sid) was not removed: $($_.Exception.Message)" }
                }
            }
        }
        'restore the PowerShell logging policies' = { Restore-PowerShellPolicies }
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
    $null = New-Item -ItemType Directory -Path $Work, $Kept
    Copy-Item -LiteralPath (Join-Path $Dist 'LaunchBrightloom.exe') -Destination $Launcher
    # A download's zone mark would make Start-Process ask before starting it.
    Unblock-File -LiteralPath $Launcher

    Enable-PowerShellRecords

    Test-Check 'SHA256SUMS matches the files' { Test-Sums }
    Test-Check 'LaunchBrightloom.exe''s version resource names the MSI''s version (file version text and numbers) and a commit' {
        Assert-VersionInfo (Get-Item -LiteralPath (Join-Path $Dist 'LaunchBrightloom.exe')).VersionInfo (Split-Path -Leaf (Find-Msi $Dist 'LaunchBrightloom-*-x64.msi'))
    }
    Test-Check "a run logs five lines in ProgramData and exits $ExitCode" { Test-Run }
    Test-Check 'Windows PowerShell 5.1 ran the launcher''s script in that run (transcript, event 4104)' -AfterFirstRun {
        Assert-True $script:RunRecords 'no run to look at'
        Assert-PowerShellEvidence $script:RunRecords $script:RunStart
    }
    Test-Check 'the log that run created has the launcher''s descriptor' -AfterFirstRun { Assert-LogDescriptor $ProgramDataLog }
    Test-Check 'a standard user reads that log with Get-Content and appends five lines' -AfterFirstRun { Test-StandardUser }
    Test-Check "an oplock held on the ProgramData log and never let go is met by a run, which ends within $HeldRunSeconds s and logs in its current folder" {
        Initialize-ProgramDataLog; Invoke-UnderOplock 'hold' $ProgramDataLog $Launcher
    }
    Test-Check "a filter oplock held on the ProgramData log and never let go is met by a run, which ends within $HeldRunSeconds s" {
        Initialize-ProgramDataLog; Invoke-UnderOplock 'filter' $ProgramDataLog $Launcher
    }
    Test-Check "a handle on the ProgramData log opened requiring an oplock that never asks for one holds no run past $HeldRunSeconds s" {
        Initialize-ProgramDataLog; Invoke-UnderOplock 'atomic' $ProgramDataLog $Launcher
    }
    Test-Check 'an oplock on the ProgramData log let go at each break costs a run no line' {
        Initialize-ProgramDataLog; Invoke-UnderOplock 'ack' $ProgramDataLog $Launcher
    }
    Test-Check "started from PowerShell 7, a run exits $ExitCode and Start-Process runs in 5.1" { Test-FromPwsh }
    Test-Check 'a junction at ProgramData\Velmora is not followed' { Test-Junction }
    Test-Check 'planted.dll marks when loaded, and never loads planted beside the launcher' { Test-PlantedDll }
    Test-Check 'the MSI installs, its launcher logs under the locked descriptor and past a held oplock, shows the release''s version, and uninstalls' { Test-Msi }
    Test-Check 'a rebuild replaces the release, the next version upgrades and keeps the log, a downgrade is refused, and the documented scripts and uninstall lines detect and remove it' { Test-MsiLifecycle }
} catch {
    $script:Failed++
    Write-Output "FAIL setting up: $($_.Exception.Message)"
} finally {
    Undo-Changes
}
Write-Output "$($script:Passed) passed, $($script:Failed) failed"
Write-Output "Logs, transcripts and msiexec's logs: $Kept"
if ($script:Failed -gt 0) { exit 1 }
exit 0
