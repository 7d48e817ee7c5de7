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

rem The DLL the host would load now: the class's InprocServer32 in the 32-bit
rem view of the registry (the host is 32-bit), empty when nothing is registered.
rem The value is what follows REG_SZ on reg's value line, in any language; only
rem that line is read, as reg may print its error on standard output.
set "FIND=%SystemRoot%\System32\find.exe"
set "CLSID={E2C7A155-8084-4BEE-9540-1E4A776311C6}"
set "LINE="
for /f "delims=" %%L in ('reg query "HKCR\CLSID\%CLSID%\InprocServer32" /ve /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "REGISTERED="
if defined LINE set "REGISTERED=%LINE:*REG_SZ    =%"
if defined REGISTERED for %%F in ("%REGISTERED%") do set "REGISTERED_FOLDER=%%~dpF"
if not defined REGISTERED goto not_registered
if /i not "%REGISTERED%"=="%DLL%" goto registered_elsewhere

rem The MSI package's registration is the package's to remove.
set "PRODUCT_KEY=HKLM\Software\Tallyport\Tallyport Access Control Translator"
set "LINE="
for /f "delims=" %%L in ('reg query "%PRODUCT_KEY%" /v ProductCode /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "PRODUCT_CODE="
if defined LINE set "PRODUCT_CODE=%LINE:*REG_SZ    =%"
set "LINE="
for /f "delims=" %%L in ('reg query "%PRODUCT_KEY%" /v InstallFolder /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "RECORDED_FOLDER="
if defined LINE set "RECORDED_FOLDER=%LINE:*REG_SZ    =%"
if defined RECORDED_FOLDER if not "%RECORDED_FOLDER:~-1%"=="\" set "RECORDED_FOLDER=%RECORDED_FOLDER%\"
if defined PRODUCT_CODE if /i "%RECORDED_FOLDER%"=="%~dp0" goto msi_installed

:unregister
echo uninstall: unregistering %DLL%
echo            with %REGSVR32%
"%REGSVR32%" /u /s "%DLL%"
set "RESULT=%ERRORLEVEL%"
if not "%RESULT%"=="0" goto failed
rem With the registration goes the translator's Event Log source, which names
rem this DLL; the events already written stay in the log.
reg delete "HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tallyport Access Control Translator" /f >nul 2>&1

echo uninstall: unregistered. The settings file and the logs are still in this
echo            folder; delete the folder to remove the translator completely.
exit /b 0

:not_registered
echo uninstall: the translator is not registered; nothing to remove. The settings
echo            file and the logs are still in this folder.
exit /b 0

:msi_installed
echo uninstall: NOT unregistered - this folder is the MSI package's: uninstall the
echo            package instead (Add/Remove Programs, or msiexec /x %PRODUCT_CODE%).
exit /b 1

:registered_elsewhere
echo uninstall: NOT unregistered - the translator is registered from another folder:
echo            %REGISTERED%
echo            The host loads that DLL, not this folder's. Run uninstall.cmd in
echo            %REGISTERED_FOLDER% to remove that registration.
exit /b 1

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
