@echo off
rem Unregisters TallyportAccessControlTranslator.dll of this folder with the
rem 32-bit regsvr32 (SysWOW64's on 64-bit Windows). The settings file and the
rem logs stay in the folder. Stop the host first: it keeps the DLL loaded.
setlocal
set "DLL=%~dp0TallyportAccessControlTranslator.dll"
set "REGSVR32=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "REGSVR32=%SystemRoot%\SysWOW64\regsvr32.exe"

if not exist "%DLL%" goto missing
call :elevated
if errorlevel 1 goto not_elevated

echo uninstall: unregistering %DLL%
echo            with %REGSVR32%
"%REGSVR32%" /u /s "%DLL%"
set "RESULT=%ERRORLEVEL%"
if not "%RESULT%"=="0" goto failed

echo uninstall: unregistered. The settings file and the logs are still in this
echo            folder; delete the folder to remove the translator completely.
exit /b 0

:missing
echo uninstall: %DLL% is missing.
echo            Run uninstall.cmd from the folder the translator was installed from.
exit /b 1

:not_elevated
echo uninstall: NOT unregistered - this needs administrator rights.
echo            Right-click uninstall.cmd and choose "Run as administrator", or run it
echo            from a command prompt that was started that way.
exit /b 1

:failed
echo uninstall: NOT unregistered - regsvr32 exit code %RESULT%.
if "%RESULT%"=="3" echo            The DLL could not be loaded: the file is damaged or incomplete.
if "%RESULT%"=="5" echo            The unregistration was refused: administrator rights are missing.
exit /b %RESULT%

rem Succeeds only in an elevated prompt: the filter manager and the server
rem service answer only administrators (the second one for machines whose
rem filter manager is not there).
:elevated
fltmc >nul 2>&1
if not errorlevel 1 exit /b 0
net session >nul 2>&1
exit /b
