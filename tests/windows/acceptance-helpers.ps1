# The acceptance script's pure parts, which touch nothing on the machine, so that the
# suite runs them on canned inputs anywhere (helpers_test.ps1). Windows PowerShell 5.1 syntax.

# The descriptor the launcher gives a log it creates, and the MSI the log it installs.
$LogSddl = 'D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008d;;;BU)(A;;0x12008d;;;OW)'
# The script the launcher hands Windows PowerShell (BuildActivationScript).
$ActivationScript = '$ErrorActionPreference=''Stop''; try { Start-Process ''shell:AppsFolder\VelmoraSoftworksLimited.VelmoraBrightloom_q4rk7vbn2xs9e!App'' -ArgumentList ''launch=headless-mode;source=test''; exit 0 } catch { Write-Error $_.Exception.Message; exit 1 }'
# The command line it starts Windows PowerShell with (BuildPowerShellCommandLine). A transcript's
# header repeats it, but how it names powershell.exe (as given, its full path, quoted) is not
# documented; its end, the encoding of this very script, is certain, and no other session has it.
$LauncherEncodedCommand = '-EncodedCommand ' + [Convert]::ToBase64String([Text.Encoding]::Unicode.GetBytes($ActivationScript))
$LauncherCommandLine = "powershell.exe -NoProfile -NonInteractive $LauncherEncodedCommand"
# What tools/release lists in SHA256SUMS: a list without one of them checks nothing of it.
$ReleaseFiles = 'LaunchBrightloom.exe', 'LaunchBrightloom-*-x64.msi', 'THIRD-PARTY-NOTICES.txt'

function Assert-True($Condition, [string] $Message) {
    if (-not $Condition) { throw $Message }
}

# Each SHA256SUMS line names a file whose hash, as $HashOf gives it ($null when missing), is the one
# listed, and each of $Required (wildcards) is listed.
function Assert-HashList([string[]] $Lines, [string[]] $Required, [scriptblock] $HashOf) {
    $listed = @($Lines | Where-Object { $_ })
    $files = foreach ($line in $listed) {
        Assert-True ($line -match '^([0-9a-f]{64}) [ *](.+)$') "not a SHA256SUMS line: $line"
        $hash, $file = $Matches[1], $Matches[2]
        $actual = & $HashOf $file
        Assert-True ($null -ne $actual) "$file is missing"
        Assert-True ($actual -eq $hash) "$file has $actual, not $hash"
        $file
    }
    foreach ($pattern in $Required) {
        Assert-True (@($files | Where-Object { $_ -clike $pattern }).Count -gt 0) "SHA256SUMS does not list $pattern"
    }
}

# The five lines of one run follow the first $Before lines, each stamped while the run ran, from
# $Start to $End (taken before and after it; 2 s either side for stamps' whole seconds and clocks).
function Assert-RunLines([string[]] $Lines, [int] $Before, [string] $Outcome, [int] $ExitCode, [datetime] $Start, [datetime] $End) {
    Assert-True ($Lines.Count -eq $Before + 5) "$($Lines.Count - $Before) new lines, not 5"
    $expected = @('=== LaunchBrightloom started ===', '^App is (NOT running|ALREADY RUNNING) before LaunchApp$',
        'Calling LaunchApp...', $Outcome, "=== LaunchBrightloom finished with exit code $ExitCode ===")
    for ($i = 0; $i -lt 5; $i++) {
        $line = $Lines[$Before + $i]
        Assert-True ($line -match '^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] (.*)$') "not a log line: $line"
        $message = $Matches[2]
        $time = [datetime]::ParseExact($Matches[1], 'yyyy-MM-dd HH:mm:ss', [Globalization.CultureInfo]::InvariantCulture)
        Assert-True ($time -ge $Start.AddSeconds(-2) -and $time -le $End.AddSeconds(2)) "not stamped between $Start and $End, while the run ran: $line"
        if ($i -eq 1) {
            Assert-True ($message -cmatch $expected[1]) "no probe verdict: $line"
        } else {
            Assert-True ($message -ceq $expected[$i]) "'$message', not '$($expected[$i])'"
        }
    }
}

# Read as text: .NET parses SDDL only on Windows, and the suite runs on Linux.
$SddlRights = @{ FA = 0x1F01FF; FR = 0x120089; FW = 0x120116; FX = 0x1200A0 }
$SddlSids = @{ SY = 'S-1-5-18'; BA = 'S-1-5-32-544'; BU = 'S-1-5-32-545'; OW = 'S-1-3-4' }

# Whether the DACL is protected, and its entries with rights as numbers and SIDs
# spelled out; owner, group, SACL and the auto-inherited mark aside.
function Get-DaclForm([string] $Sddl) {
    Assert-True ($Sddl -cmatch 'D:([A-Z]*)((\([^)]*\))*)') "no DACL in $Sddl"
    $entries = foreach ($ace in [regex]::Matches($Matches[2], '\(([^)]*)\)')) {
        $type, $flags, $rights, $object, $inherited, $sid = $ace.Groups[1].Value.Split(';')
        if ($SddlRights.ContainsKey($rights)) { $rights = $SddlRights[$rights] } else { $rights = [Convert]::ToInt32($rights, 16) }
        if ($SddlSids.ContainsKey($sid)) { $sid = $SddlSids[$sid] }
        '({0};{1};0x{2:x};{3};{4};{5})' -f $type, $flags, $rights, $object, $inherited, $sid
    }
    'protected={0} {1}' -f $Matches[1].Contains('P'), ($entries -join '')
}

function Assert-LogDacl([string] $Sddl) {
    Assert-True ((Get-DaclForm $Sddl) -eq (Get-DaclForm $LogSddl)) "$Sddl, not $LogSddl"
}

# The header of a transcript that PowerShell's transcription policy wrote, and its text.
function Read-Transcript([string[]] $Lines) {
    $text = $Lines -join "`n"
    $field = { if ($text -match "(?m)^$($args[0]): (.*)$") { $Matches[1].TrimEnd() } else { '' } }
    New-Object psobject -Property @{ PSVersion = & $field 'PSVersion'; ProcessId = [int](& $field 'Process ID')
        HostApplication = & $field 'Host Application'; Text = $text }
}

# The sessions, of those Read-Transcript gives, that ran the launcher's command line.
function Select-LauncherSession($Sessions) {
    @($Sessions | Where-Object { $_.HostApplication.EndsWith(" $LauncherEncodedCommand", [StringComparison]::Ordinal) })
}

# How the session fails before Start-Process runs: its module not loaded (as with PowerShell
# 7's module path handed down), the cmdlet not found, the script not parsed.
$SessionFaults = 'could not be loaded', 'is not recognized as the name', 'ParserError'
# Start-Process's own error when the shell cannot open its target: here the app, not installed.
$TargetNotOpened = 'This command cannot be run due to the error:'

# Windows PowerShell 5.1 ran the script, and Start-Process ran in it: failing only to open
# the app, or ($Activated) without error. The texts are English, as on GitHub's runners.
function Assert-HiddenSession($Session, [bool] $Activated) {
    Assert-True ($Session.PSVersion -like '5.1.*') "the session's PSVersion is '$($Session.PSVersion)', not 5.1"
    foreach ($fault in $SessionFaults) {
        Assert-True (-not $Session.Text.Contains($fault)) "the session failed before Start-Process ran: '$fault'"
    }
    if ($Activated) {
        Assert-True (-not $Session.Text.Contains('FullyQualifiedErrorId')) 'the session reported an error'
    } else {
        Assert-True ($Session.Text.Contains($TargetNotOpened)) "no '$TargetNotOpened' from Start-Process"
    }
}

# $Events: ProcessId and Text of each event 4104, one part each (the script is far below the split size).
function Assert-ScriptBlockLogged($Events, [int] $ProcessId, [string] $Script) {
    $texts = @($Events | Where-Object { $_.ProcessId -eq $ProcessId } | ForEach-Object { $_.Text })
    Assert-True ($texts -ccontains $Script) "none of the $($texts.Count) script blocks logged by process $ProcessId is the launcher's script"
}

# The executable's version resource as docs/deployment.md describes it, for the release whose MSI
# is named $MsiName: its version, and the commit after a "+"; the file version, as text and as the
# four numbers a file version detection rule compares, is that version and .0. Returns the fields,
# to compare copies.
$VersionFields = 'FileVersion', 'ProductVersion', 'CompanyName', 'OriginalFilename', 'FileMajorPart', 'FileMinorPart', 'FileBuildPart', 'FilePrivatePart'
function Assert-VersionInfo($Info, [string] $MsiName) {
    Assert-True ($MsiName -match '^LaunchBrightloom-(\d+\.\d+\.\d+)-x64\.msi$') "no version in the MSI's name $MsiName"
    $version = $Matches[1]
    foreach ($field in $VersionFields[0..3]) { Assert-True $Info.$field "no $field in the version resource" }
    Assert-True ($Info.FileVersion -ceq "$version.0") "FileVersion $($Info.FileVersion), not $version.0"
    $parts = ($VersionFields[4..7] | ForEach-Object { $Info.$_ }) -join '.'
    Assert-True ($parts -ceq "$version.0") "the file version's numbers are $parts, not $version.0"
    Assert-True ($Info.ProductVersion -match "^$([regex]::Escape($version))\+[0-9a-f]{40}$") "ProductVersion $($Info.ProductVersion), not $version+<commit>"
    Assert-True ($Info.CompanyName -ceq 'Velmora Softworks Limited') "CompanyName $($Info.CompanyName), not the MSI's Manufacturer"
    Assert-True ($Info.OriginalFilename -ceq 'LaunchBrightloom.exe') "OriginalFilename $($Info.OriginalFilename)"
    ($VersionFields | ForEach-Object { "$_ $($Info.$_)" }) -join ', '
}

# The text of the ```powershell block that a line <!-- script: $Name --> stands just above, in a
# markdown file's lines (or of the ```$Language block below <!-- $Kind: $Name -->); a block in a
# list item loses its fence's indentation, as markdown reads it.
function Get-MarkedScript([string[]] $Lines, [string] $Name, [string] $Kind = 'script', [string] $Language = 'powershell') {
    $marker = "<!-- ${Kind}: $Name -->"
    for ($i = 0; $i -lt $Lines.Count - 1; $i++) {
        if ($Lines[$i].Trim() -cne $marker -or $Lines[$i + 1] -notmatch "^( *)``````$Language\s*`$") { continue }
        $indent = $Matches[1].Length
        $body = for ($j = $i + 2; $j -lt $Lines.Count -and $Lines[$j] -notmatch '^ *```\s*$'; $j++) {
            $Lines[$j] -replace "^ {0,$indent}", ''
        }
        Assert-True ($j -lt $Lines.Count) "the block after $marker has no closing fence"
        return $body -join "`r`n"
    }
    throw "no $marker line just above a ``````$Language block"
}
