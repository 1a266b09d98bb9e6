@echo off
rem Kelvane's job done with the system's own tools, for the benchmark: the same
rem firmware queries (wmic), the same registry reads and writes in both views
rem (reg), a log and the copy of the marker program.
setlocal
set "LOG=%~dp0job.log"
set "NATIVE=HKLM\SOFTWARE\Microsoft\Office\16.0\Common\OEM"
set "WOW64=HKLM\SOFTWARE\Wow6432Node\Microsoft\Office\16.0\Common\OEM"
set "SETTINGS=/namespace:\\root\Brevik\InstrumentedBIOS path Brevik_BIOSSetting"

echo ExePath=[%~f0]
echo ExeDir=[%~dp0]
echo logPath=[%LOG%]
echo ================================ %DATE% %TIME% ========================================>>"%LOG%"

wmic bios get serialnumber
set "BUILDID="
for /f "skip=1 tokens=*" %%v in ('wmic %SETTINGS% where "name='Build ID'" get Value') do if not defined BUILDID set "BUILDID=%%v"
wmic %SETTINGS% where "name='Feature Byte'" get Value
echo BuildID=[%BUILDID%]
echo BuildID=[%BUILDID%]>>"%LOG%"

rem The locale code: the three letters after "#S" in the Build ID. The two
rem Japanese ones end the job here.
set "LOC="
if defined BUILDID for /f "tokens=2 delims=#" %%p in ("%BUILDID%") do set "LOC=%%p"
if defined LOC set "LOC=%LOC:~1,3%"
echo LOC=[%LOC%]
if "%LOC%"=="ABJ" goto skip
if "%LOC%"=="ACF" goto skip

echo Non-Japan case.
echo Setup the registry key!
call :enforce "%NATIVE%"
call :enforce "%WOW64%"
echo Result=PASS
echo Result=PASS>>"%LOG%"
copy /y "%~dp0QUINTAR.exe" "%SystemRoot%\QUINTAR.exe" >nul
echo %~dp0QUINTAR.exe copy to %SystemRoot%\QUINTAR.exe>>"%LOG%"
exit /b 0

:skip
echo Result=SKIP
echo Result=SKIP>>"%LOG%"
exit /b 0

rem One registry view: read OOBEMode, and write it only when it is not OEMTA.
:enforce
echo %~1
set "MODE="
for /f "tokens=1,2,3" %%a in ('reg query "%~1" /v OOBEMode 2^>nul') do if /i "%%a"=="OOBEMode" set "MODE=%%c"
echo Registry before write: [%MODE%]
if "%MODE%"=="OEMTA" (
  echo Already correct registry key value, skip!
  exit /b 0
)
echo incorrect registry key value, overwrite it!
reg add "%~1" /v OOBEMode /t REG_SZ /d OEMTA /f >nul
reg query "%~1" /v OOBEMode
exit /b 0
