# Parses a script without running it, as Windows PowerShell 5.1 would have to:
# prints each syntax error, and each token that only PowerShell 7 knows.
param([Parameter(Mandatory = $true)] [string] $Path)
$tokens = $null
$errors = $null
$null = [System.Management.Automation.Language.Parser]::ParseFile($Path, [ref]$tokens, [ref]$errors)
$newer = 'QuestionMark', 'QuestionQuestion', 'QuestionQuestionEquals', 'QuestionDot', 'QuestionLBracket', 'AndAnd', 'OrOr'
$problems = @($errors | ForEach-Object { "$($_.Extent.StartLineNumber): $($_.Message)" }) +
    @($tokens | Where-Object { $newer -contains $_.Kind } | ForEach-Object { "$($_.Extent.StartLineNumber): '$($_.Text)' is PowerShell 7 only" })
$problems | ForEach-Object { Write-Output "${Path}:$_" }
Write-Output "$($problems.Count) problem(s)"
exit $(if ($problems.Count -eq 0) { 0 } else { 1 })
