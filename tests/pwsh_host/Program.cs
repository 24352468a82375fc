// Starts PowerShell's own console host, which reads the command line as pwsh does.
using System.Management.Automation.Runspaces;
using Microsoft.PowerShell;

// CreateDefault, not CreateDefault2: the SDK ships no $PSHOME\Modules, so only the
// default snap-ins, loaded from this program's own assemblies, bring Start-Process.
return ConsoleShell.Start(InitialSessionState.CreateDefault(), null, null, args);
