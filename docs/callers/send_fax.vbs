' Sends one fax job through faxjob.exe, waits for it and acts on its exit status.
' A template: copy it to a folder of your own before you change it; an upgrade replaces this copy.
'
'   cscript //nologo send_fax.vbs JOBFILE REPORTFILE
'
' Sending the job again is safe exactly after exit status 3 and 5: nothing was sent. After any
' other failure a fax may have gone out.
'
' JOBFILE must not hold a space. REPORTFILE may; put it in double quotes here, and this script
' hands it on without them. No path may hold %. faxjob.exe is taken from the folder above this
' one, where the release package puts it. Exits with faxjob's own exit status, with two
' exceptions: 2 for every run that did not finish by itself (see Unfinished), and 9009, as the
' batch file, when faxjob.exe is missing.
Option Explicit

Const ForReading = 1
Const TristateFalse = 0 ' the ANSI code page, which the report is written in
Const HiddenWindow = 0
Const FaxjobMissing = 9009
Const NothingSent = "Nothing was sent: sending the job again is safe."
' The codes of the failure table, which the error line starts with.
Const FailureCodes = " 000006 000007 000009 000013 000048 000051 000052 000053 000055 000057 000061 000062 000070 000075 000076 000453 "

Dim shell, fso, faxjob, job, report, path, status, lines, errorLine
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")

If WScript.Arguments.Count <> 2 Then
  WScript.Echo "usage: cscript //nologo send_fax.vbs JOBFILE REPORTFILE"
  WScript.Quit 3
End If
job = WScript.Arguments(0)
report = WScript.Arguments(1)
faxjob = fso.BuildPath(fso.GetParentFolderName(WScript.ScriptFullName), "..\faxjob.exe")
' Run raises an error for a missing program instead of returning a status.
If Not fso.FileExists(faxjob) Then
  WScript.Echo "faxjob.exe not found: " & faxjob
  WScript.Quit FaxjobMissing
End If
If InStr(job, " ") > 0 Then
  WScript.Echo "The job file path must not hold a space: " & job
  WScript.Quit 3
End If

' Run expands %NAME% in the command line, as Exec does, and neither has a way to escape it, so a
' path holding % could reach faxjob changed. WMI's Win32_Process.Create passes it as it is, but
' gives no exit status to wait for. Such paths are refused.
For Each path In Array(faxjob, job, report)
  If InStr(path, "%") > 0 Then
    WScript.Echo "faxjob: not started: the path holds %, which WScript.Shell.Run would expand: " & path
    WScript.Quit 3
  End If
Next

' faxjob.exe splits its command line at the first space: no quotes around the two paths (they
' would become part of the names), and everything after that space is the report path. Only the
' program's own path is quoted. Run waits until the program ends and returns its exit status.
status = shell.Run("""" & faxjob & """ " & job & " " & report, HiddenWindow, True)

' faxjob leaves a report after every run that ends by itself with 0, 1, 4 or 5, and ends with no
' other status; anything else means that the run was ended from outside, by a user, a shutdown
' or a library that ended the process, before or after the fax went out.
Select Case status
  Case 0, 1, 4, 5
    If Not fso.FileExists(report) Then Unfinished "exit status " & status & " and no report"
End Select

Select Case status
  Case 0
    WScript.Echo "faxjob: job done; the report, one line per record entry:"
    ShowLines ReadReport()
  Case 4
    WScript.Echo "faxjob: the fax library returned an error; its status text is on every report line:"
    lines = ReadReport()
    ShowLines lines
    If UBound(lines) < 0 Then WScript.Echo "faxjob: the report holds no record entries"
  Case 1, 5
    lines = ReadReport()
    If Not EndsWithErrorLine(lines) Then
      Unfinished "exit status " & status & " and no error line at the report's end"
    End If
    errorLine = Split(lines(UBound(lines)), ",")
    If status = 5 Then
      WScript.Echo "faxjob: failed with error " & errorLine(0) & " before the fax library was called; the report ends with the error line:"
      ShowLines lines
      WScript.Echo NothingSent
    Else
      WScript.Echo "faxjob: failed with error " & errorLine(0) & "; the report ends with the error line:"
      ShowLines lines
      WScript.Echo "faxjob: the fax library was called, so a fax may have gone out: check before sending the job again."
    End If
  Case 2
    WScript.Echo "faxjob: failed, and no report says why; whatever lies at the report path is not from this"
    WScript.Echo "run. Treat the job as failed and its outcome as unknown; check the report folder."
  Case 3
    WScript.Echo "faxjob: nothing was sent and nothing written: the command line is unusable (job file missing,"
    WScript.Echo "not two paths), the report path can never be written or names the job file, a reserved name or"
    WScript.Echo "a stream, the job file is the report folder's RESULT.TXT or FAXJOB.LCK, the earlier report could"
    WScript.Echo "not be removed, or the run failed before the call and could not record why."
    WScript.Echo NothingSent
  Case Else
    Unfinished "exit status " & status
End Select
WScript.Quit status

Sub Unfinished(what)
  WScript.Echo "faxjob: " & what & ": the run did not finish by itself."
  WScript.Echo "Treat the job as failed and its outcome as unknown: a fax may have gone out."
  WScript.Quit 2
End Sub

' The report's lines, read in the ANSI code page; an empty report gives an empty array.
Function ReadReport()
  Dim stream, text
  Set stream = fso.OpenTextFile(report, ForReading, False, TristateFalse)
  If stream.AtEndOfStream Then text = "" Else text = stream.ReadAll
  stream.Close
  If Right(text, 2) = vbCrLf Then text = Left(text, Len(text) - 2)
  If text = "" Then ReadReport = Array() Else ReadReport = Split(text, vbCrLf)
End Function

' Whether the last line is an error line, CODE,DESCRIPTION, told by its code alone, as the batch
' file tells it: an entry numbered like a failure code would pass for one.
Function EndsWithErrorLine(lines)
  Dim fields
  EndsWithErrorLine = False
  If UBound(lines) < 0 Then Exit Function
  fields = Split(lines(UBound(lines)), ",")
  EndsWithErrorLine = InStr(FailureCodes, " " & fields(0) & " ") > 0
End Function

Sub ShowLines(lines)
  Dim line
  For Each line In lines
    WScript.Echo line
  Next
End Sub
