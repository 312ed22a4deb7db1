@echo off
rem Sends one fax job through faxjob.exe, waits for it and acts on its exit status.
rem
rem   send_fax.bat JOBFILE REPORTFILE
rem
rem JOBFILE must not hold a space. REPORTFILE may; put it in double quotes here, and this file
rem hands it on without them. Paths holding & ^ or %% need more care than this example takes.
rem Exits with faxjob's own exit status.
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
if not "%JOB%"=="%JOB: =%" (
  echo The job file path must not hold a space: %JOB%
  exit /b 3
)

rem faxjob.exe splits its command line at the first space: no quotes around the two paths (they
rem would become part of the names), and everything after that space is the report path.
rem start /wait waits for the program, which has no console, and sets ERRORLEVEL to its status.
start "" /wait "%FAXJOB%" %JOB% %REPORT%
set STATUS=%ERRORLEVEL%

if "%STATUS%"=="0" goto sent
if "%STATUS%"=="4" goto library_error
if "%STATUS%"=="1" goto failed
if "%STATUS%"=="2" goto unreported
if "%STATUS%"=="3" goto refused
echo faxjob: unexpected exit status %STATUS%: treat the job as failed and its outcome as unknown
exit /b %STATUS%

rem The report is in the ANSI code page. TYPE copies its bytes as they are; FOR /F would
rem convert them through the console code page, so it is used for the number field alone.
:sent
echo faxjob: job done; the report, one line per record entry:
type "%REPORT%"
exit /b 0

:library_error
echo faxjob: the fax library returned an error; its status text is on every report line:
type "%REPORT%"
for %%F in ("%REPORT%") do if %%~zF==0 echo faxjob: the report holds no record entries
exit /b 4

:failed
for /f "usebackq tokens=1 delims=," %%C in ("%REPORT%") do set "CODE=%%C"
echo faxjob: failed with error %CODE%; the report ends with the error line:
type "%REPORT%"
exit /b 1

:unreported
echo faxjob: failed, and no report says why; whatever lies at the report path is not from this
echo run. Treat the job as failed and its outcome as unknown; check the report folder.
exit /b 2

:refused
echo faxjob: nothing was sent: the command line is unusable (job file missing, not two paths) or the report path can never be written
exit /b 3
