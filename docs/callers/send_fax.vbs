' Sends one fax job through faxjob.exe, waits for it and acts on its exit status.
'
'   cscript //nologo send_fax.vbs JOBFILE REPORTFILE
'
' JOBFILE must not hold a space. REPORTFILE may; put it in double quotes here, and this script
' hands it on without them. faxjob.exe is taken from the folder above this one, where the release
' package puts it. Exits with faxjob's own exit status.
Option Explicit

Const ForReading = 1
Const TristateFalse = 0 ' the ANSI code page, which the report is written in
Const HiddenWindow = 0

Dim shell, fso, faxjob, job, report, status, lines, errorLine
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")

If WScript.Arguments.Count <> 2 Then
  WScript.Echo "usage: cscript //nologo send_fax.vbs JOBFILE REPORTFILE"
  WScript.Quit 3
End If
job = WScript.Arguments(0)
report = WScript.Arguments(1)
faxjob = fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "..\faxjob.exe")
If InStr(job, " ") > 0 Then
  WScript.Echo "The job file path must not hold a space: " & job
  WScript.Quit 3
End If

' faxjob.exe splits its command line at the first space: no quotes around the two paths (they
' would become part of the names), and everything after that space is the report path. Only the
' program's own path is quoted. Run waits until the program ends and returns its exit status.
status = shell.Run("""" & faxjob & """ " & job & " " & report, HiddenWindow, True)

Select Case status
  Case 0
    WScript.Echo "faxjob: job done; the report, one line per record entry:"
    ShowLines ReadReport()
  Case 4
    WScript.Echo "faxjob: the fax library returned an error; its status text is on every report line:"
    lines = ReadReport()
    ShowLines lines
    If UBound(lines) < 0 Then WScript.Echo "faxjob: the report holds no record entries"
  Case 1
    lines = ReadReport()
    errorLine = Split(lines(UBound(lines)), ",")
    WScript.Echo "faxjob: failed with error " & errorLine(0) & "; the report ends with the error line:"
    ShowLines lines
  Case 2
    WScript.Echo "faxjob: failed, and no report says why; whatever lies at the report path is not from this"
    WScript.Echo "run. Treat the job as failed and its outcome as unknown; check the report folder."
  Case 3
    WScript.Echo "faxjob: nothing was sent: the command line is unusable (job file missing, not two paths) or the report path can never be written"
  Case Else
    WScript.Echo "faxjob: unexpected exit status " & status & ": treat the job as failed and its outcome as unknown"
End Select
WScript.Quit status

' The report's lines, read in the ANSI code page; an empty report gives an empty array.
Function ReadReport()
  Dim stream, text
  Set stream = fso.OpenTextFile(report, ForReading, False, TristateFalse)
  If stream.AtEndOfStream Then text = "" Else text = stream.ReadAll
  stream.Close
  If Right(text, 2) = vbCrLf Then text = Left(text, Len(text) - 2)
  If text = "" Then ReadReport = Array() Else ReadReport = Split(text, vbCrLf)
End Function

Sub ShowLines(lines)
  Dim line
  For Each line In lines
    WScript.Echo line
  Next
End Sub
