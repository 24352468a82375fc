# The acceptance script's pure helpers on canned inputs: each good case must pass,
# each bad case must fail with the message of its fault. Exits 1 on any surprise.
Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'
# Windows PowerShell 5.1 must parse them too.
& (Join-Path $PSScriptRoot 'parses.ps1') (Join-Path $PSScriptRoot 'acceptance-helpers.ps1')
$script:Surprises = [int]($LASTEXITCODE -ne 0)
. (Join-Path $PSScriptRoot 'acceptance-helpers.ps1')

function Test-Case([string] $Name, [string] $Failure, [scriptblock] $Body) {
    $message = ''
    try { $null = & $Body } catch { $message = $_.Exception.Message }
    $expected = if ($Failure) { $message -like "*$Failure*" } else { $message -eq '' }
    if (-not $expected) { $script:Surprises++ }
    '{0} {1}: {2}' -f $(if ($expected) { 'ok  ' } else { 'FAIL' }), $Name, $(if ($message) { $message } else { 'passed' })
}

$sums = "$('ab' * 32)  LaunchBrightloom.exe", "$('cd' * 32) *LaunchBrightloom-1.0.0-x64.msi", "$('ab' * 32)  THIRD-PARTY-NOTICES.txt", ''
$known = @{ 'LaunchBrightloom.exe' = 'ab' * 32; 'LaunchBrightloom-1.0.0-x64.msi' = 'cd' * 32; 'THIRD-PARTY-NOTICES.txt' = 'ab' * 32 }
Test-Case 'hash list matching its files' '' { Assert-HashList $sums $ReleaseFiles { $known[$args[0]] } }
Test-Case 'hash list with a changed MSI' 'x64.msi has efef' { Assert-HashList $sums $ReleaseFiles { if ($args[0] -like '*.msi') { 'ef' * 32 } else { 'ab' * 32 } } }
Test-Case 'hash list without the MSI' 'does not list LaunchBrightloom-*-x64.msi' { Assert-HashList $sums[0, 2] $ReleaseFiles { $known[$args[0]] } }

$failed = 'LaunchApp failed: App launch failed with PowerShell exit code 1'
# A slow run: its first line 100 s before its end.
$run = @('[2026-12-08 21:00:00] an earlier run', '[2026-12-08 21:32:23] === LaunchBrightloom started ===') + ('App is NOT running before LaunchApp',
    'Calling LaunchApp...', $failed, '=== LaunchBrightloom finished with exit code 1 ===' | ForEach-Object { "[2026-12-08 21:34:03] $_" })
$start = Get-Date '2026-12-08 21:32:23.600'
$end = Get-Date '2026-12-08 21:34:03.900'
Test-Case 'a slow failed run''s five lines' '' { Assert-RunLines $run 1 $failed 1 $start $end }
Test-Case 'a failed run taken for a success' "'$failed', not 'LaunchApp succeeded'" { Assert-RunLines $run 1 'LaunchApp succeeded' 0 $start $end }
Test-Case 'an earlier run''s lines taken for this run''s' 'not stamped between' { Assert-RunLines $run 1 $failed 1 $start.AddMinutes(40) $end.AddMinutes(40) }

Test-Case 'the descriptor as Get-Acl spells it' '' { Assert-LogDacl 'O:BAG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008D;;;BU)(A;;0x12008d;;;S-1-3-4)' }
Test-Case 'the descriptor without read for Users' 'not D:P' { Assert-LogDacl 'D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120085;;;BU)(A;;0x120085;;;OW)' }

$header = 'Windows PowerShell transcript start', 'Host Application: powershell.exe -NoProfile -NonInteractive -EncodedCommand JABFAHIA',
    'Process ID: 4660', 'PSVersion: 5.1.20348.2849', '**********************'
$notOpened = 'PS>TerminatingError(Start-Process): "This command cannot be run due to the error: The system cannot find the file specified."'
$notLoaded = 'Write-Error : The ''Start-Process'' command was found in the module ''Microsoft.PowerShell.Management'', but the module could not be loaded.'
Test-Case 'a 5.1 session that could not open the app' '' {
    $session = Read-Transcript ($header + $notOpened)
    Assert-True ($session.ProcessId -eq 4660 -and $session.HostApplication -like '*-EncodedCommand JABFAHIA') 'header misread'
    Assert-HiddenSession $session $false
}
Test-Case 'a 5.1 session that could not load Start-Process' 'could not be loaded' { Assert-HiddenSession (Read-Transcript ($header + $notLoaded)) $false }

# Windows may name powershell.exe by its full path, quoted or not; only the encoding picks the session.
$system = 'C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe'
$hosts = "$system -NoProfile -NonInteractive $LauncherEncodedCommand", "`"$system`" -NoProfile -NonInteractive $LauncherEncodedCommand ",
    "$system -NoProfile -NonInteractive -EncodedCommand JABFAHIA", "$system -EncodedCommand X$($LauncherEncodedCommand.Substring(16))"
Test-Case 'the launcher''s sessions among others, by the header''s encoding' '' {
    $picked = @(Select-LauncherSession @($hosts | ForEach-Object { Read-Transcript ("Host Application: $_", 'Process ID: 1') }))
    Assert-True ($picked.Count -eq 2 -and $picked[1].HostApplication.StartsWith('"')) "picked $($picked.Count): $($picked | ForEach-Object { $_.HostApplication })"
}

$prompt = @{ ProcessId = 4660; Text = 'prompt' }
Test-Case 'the script logged by the session' '' { Assert-ScriptBlockLogged @($prompt, @{ ProcessId = 4660; Text = $ActivationScript }) 4660 $ActivationScript }
Test-Case 'the script logged by another process, altered by this one' 'none of the 2' {
    Assert-ScriptBlockLogged @(@{ ProcessId = 4660; Text = $ActivationScript.ToLower() }, @{ ProcessId = 99; Text = $ActivationScript }, $prompt) 4660 $ActivationScript
}

$commit = '0123456789abcdef0123456789abcdef01234567'
$resource = New-Object psobject -Property @{ FileVersion = '1.0.0.0'; ProductVersion = "1.0.0+$commit"
    CompanyName = 'Velmora Softworks Limited'; OriginalFilename = 'LaunchBrightloom.exe'
    FileMajorPart = 1; FileMinorPart = 0; FileBuildPart = 0; FilePrivatePart = 0 }
Test-Case 'a version resource naming the MSI''s version and its commit' '' { Assert-VersionInfo $resource 'LaunchBrightloom-1.0.0-x64.msi' }
Test-Case 'a version resource whose numbers are not its text' 'numbers are 1.0.0.1, not 1.0.0.0' {
    $resource.FilePrivatePart = 1
    Assert-VersionInfo $resource 'LaunchBrightloom-1.0.0-x64.msi'
}
$resource.FilePrivatePart = 0
Test-Case 'a version resource naming no commit' 'ProductVersion 1.0.0, not 1.0.0+<commit>' {
    $resource.ProductVersion = '1.0.0'
    Assert-VersionInfo $resource 'LaunchBrightloom-1.0.0-x64.msi'
}

$markdown = '- Detect:', '', '  <!-- script: detect -->', '  ```powershell', '  if ($x) {', '      ''installed''', '  }', '  ```'
Test-Case 'a marked script in a list item' '' {
    $text = Get-MarkedScript $markdown 'detect'
    Assert-True ($text -ceq "if (`$x) {`r`n    'installed'`r`n}") "read as: $text"
}
Test-Case 'a script whose marker is missing' 'no <!-- script: remove-all-builds -->' { Get-MarkedScript $markdown 'remove-all-builds' }

# The 4104 and transcript checks compare with the constants, which must be what the launcher makes.
Test-Case 'the script and its command line are the launcher''s' '' {
    $source = Get-Content -Raw -LiteralPath (Join-Path $PSScriptRoot '../../src/activation/activation_script.cpp')
    $parts = foreach ($name in 'ScriptHead', 'AppShellPath', 'ScriptBeforeArguments', 'ActivationArguments', 'ScriptTail') {
        Assert-True ($source -match "k$name\s*=\s*L""((?:[^""\\]|\\.)*)""") "no k$name in the launcher's source"
        $Matches[1] -replace '\\(.)', '$1'
    }
    Assert-True (($parts -join '') -ceq $ActivationScript) "the launcher's script is $($parts -join '')"
    # JABFAHIA: '$Er' in UTF-16LE, as -EncodedCommand takes it.
    Assert-True ($source -match 'kCommandPrefix\s*=\s*L"([^"]*)"') "no kCommandPrefix in the launcher's source"
    Assert-True ($LauncherCommandLine.StartsWith($Matches[1] + 'JABFAHIA')) "the launcher's command line starts $($Matches[1]), not as $LauncherCommandLine"
}
if ($script:Surprises -gt 0) { exit 1 }
