@echo off
rem Sends one fax job through faxjob.exe, waits for it and acts on its exit status.
rem A template: copy it to a folder of your own before you change it; an upgrade replaces this
rem copy.
rem
rem   send_fax.bat JOBFILE REPORTFILE
rem
rem Sending the job again is safe exactly after exit status 3 and 5: nothing was sent. After any
rem other failure a fax may have gone out.
rem
rem JOBFILE must not hold a space. REPORTFILE may; put it in double quotes here, and this file
rem hands it on without them. Paths holding & ^ or %% need more care than this example takes.
rem Exits with faxjob's own exit status, with two exceptions: 2 for every run that did not finish
rem by itself (see :no_report), and 9009, cmd's status for a program it cannot find, when
rem faxjob.exe is missing.
rem
rem Paths are expanded only outside parenthesised blocks: cmd reads a whole block before it runs
rem it, and a ) in an expanded path would end the block there.
setlocal
if "%~2"=="" (
  echo usage: send_fax.bat JOBFILE REPORTFILE
  exit /b 3
)
set "JOB=%~1"
set "REPORT=%~2"
rem faxjob.exe lies in the folder above this one in the release package; change this line to
rem where you installed it.
set "FAXJOB=%~dp0..\faxjob.exe"
rem START would show an error box for a missing program, which waits on a PC nobody watches.
if not exist "%FAXJOB%" goto no_faxjob
if not "%JOB%"=="%JOB: =%" goto job_has_space

rem faxjob.exe splits its command line at the first space: no quotes around the two paths (they
rem would become part of the names), and everything after that space is the report path.
rem start /wait waits for the program, which has no console, and sets ERRORLEVEL to its status.
start "" /wait "%FAXJOB%" %JOB% %REPORT%
set STATUS=%ERRORLEVEL%

if "%STATUS%"=="2" goto unreported
if "%STATUS%"=="3" goto refused
if not "%STATUS%"=="0" if not "%STATUS%"=="1" if not "%STATUS%"=="4" if not "%STATUS%"=="5" goto unexpected_status
if not exist "%REPORT%" goto no_report
if "%STATUS%"=="0" goto sent
if "%STATUS%"=="4" goto library_error
goto failed

rem The report is in the ANSI code page. TYPE copies its bytes as they are; FOR /F would
rem convert them through the console code page, so it is used for the number field alone.
:sent
echo faxjob: job done; the report, one line per record entry:
type "%REPORT%"
exit /b 0

:library_error
echo faxjob: the fax library returned an error; its status text is on every report line:
type "%REPORT%"
for %%F in ("%REPORT%") do if "%%~zF"=="0" echo faxjob: the report holds no record entries
exit /b 4

rem The last line must be the error line, whose number is a code of the failure table. cmd cannot
rem compare the Japanese text in every code page, so the number alone is checked: an entry
rem numbered like a failure code would pass for an error line.
:failed
set "CODE="
for /f "usebackq tokens=1 delims=," %%C in ("%REPORT%") do set "CODE=%%C"
set "ERROR_LINE="
set "FAILURE_CODES=000006 000007 000009 000013 000048 000051 000052 000053 000055 000057 000061"
set "FAILURE_CODES=%FAILURE_CODES% 000062 000070 000075 000076 000453"
for %%K in (%FAILURE_CODES%) do if "%%K"=="%CODE%" set "ERROR_LINE=yes"
if not defined ERROR_LINE goto no_error_line
if "%STATUS%"=="5" goto failed_before_call
echo faxjob: failed with error %CODE%; the report ends with the error line:
type "%REPORT%"
echo faxjob: the fax library was called, so a fax may have gone out: check before sending the job again.
exit /b 1

:failed_before_call
echo faxjob: failed with error %CODE% before the fax library was called; the report ends with the error line:
type "%REPORT%"
echo Nothing was sent: sending the job again is safe.
exit /b 5

:unreported
echo faxjob: failed, and no report says why; whatever lies at the report path is not from this
echo run. Treat the job as failed and its outcome as unknown; check the report folder.
exit /b 2

:refused
echo faxjob: nothing was sent and nothing written: the command line is unusable (job file missing,
echo not two paths), the report path can never be written or names the job file, a reserved name or
echo a stream, the job file is the report folder's RESULT.TXT or FAXJOB.LCK, the earlier report could
echo not be removed, or the run failed before the call and could not record why.
echo Nothing was sent: sending the job again is safe.
exit /b 3

rem faxjob leaves a report after every run that ends by itself with 0, 1, 4 or 5, and ends with no
rem other status; anything else means that the run was ended from outside, by a user, a shutdown
rem or a library that ended the process, before or after the fax went out.
:no_report
echo faxjob: exit status %STATUS% and no report: the run did not finish by itself.
goto unknown_outcome
:no_error_line
echo faxjob: exit status %STATUS% and no error line at the report's end: the run did not finish by itself.
goto unknown_outcome
:unexpected_status
echo faxjob: exit status %STATUS%: the run did not finish by itself.
:unknown_outcome
echo Treat the job as failed and its outcome as unknown: a fax may have gone out.
exit /b 2

:no_faxjob
echo faxjob.exe not found: %FAXJOB%
exit /b 9009

:job_has_space
echo The job file path must not hold a space: %JOB%
exit /b 3
