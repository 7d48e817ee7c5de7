@echo off
rem Registers TallyportAccessControlTranslator.dll from this folder as a COM
rem server, with the 32-bit regsvr32: the DLL is 32-bit, so on 64-bit Windows
rem it is SysWOW64's regsvr32 that can load it. Run from an elevated prompt.
rem No parenthesised blocks below: a path such as "C:\Program Files (x86)\..."
rem would end them early.
setlocal
set "DLL=%~dp0TallyportAccessControlTranslator.dll"
set "REGSVR32=%SystemRoot%\System32\regsvr32.exe"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" set "REGSVR32=%SystemRoot%\SysWOW64\regsvr32.exe"

if not exist "%DLL%" goto missing
call :elevated
if errorlevel 1 goto not_elevated

rem While the MSI package is installed it owns the registration: its uninstall
rem removes the keys whichever folder they name. Only its own program folder may
rem register again here. The package records its product code and folder under
rem the product's key (32-bit view). A value is what follows REG_SZ on reg's
rem value line, in any language; only that line is read, as reg may print its
rem error on standard output.
set "PRODUCT_KEY=HKLM\Software\Tallyport\Tallyport Access Control Translator"
set "FIND=%SystemRoot%\System32\find.exe"
set "LINE="
for /f "delims=" %%L in ('reg query "%PRODUCT_KEY%" /v ProductCode /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "PRODUCT_CODE="
if defined LINE set "PRODUCT_CODE=%LINE:*REG_SZ    =%"
set "LINE="
for /f "delims=" %%L in ('reg query "%PRODUCT_KEY%" /v InstallFolder /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "RECORDED_FOLDER="
if defined LINE set "RECORDED_FOLDER=%LINE:*REG_SZ    =%"
if defined RECORDED_FOLDER if not "%RECORDED_FOLDER:~-1%"=="\" set "RECORDED_FOLDER=%RECORDED_FOLDER%\"
if defined PRODUCT_CODE if /i not "%RECORDED_FOLDER%"=="%~dp0" goto msi_installed

rem The DLL the host would load now: the class's InprocServer32 in the 32-bit
rem view of the registry (the host is 32-bit), empty when nothing is registered.
set "CLSID={E2C7A155-8084-4BEE-9540-1E4A776311C6}"
set "LINE="
for /f "delims=" %%L in ('reg query "HKCR\CLSID\%CLSID%\InprocServer32" /ve /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "REGISTERED="
if defined LINE set "REGISTERED=%LINE:*REG_SZ    =%"
if defined REGISTERED for %%F in ("%REGISTERED%") do set "REGISTERED_FOLDER=%%~dpF"
if not defined REGISTERED goto register
if /i "%REGISTERED%"=="%DLL%" goto register
echo install: the translator is registered from another folder:
echo          %REGISTERED%
echo          This moves the registration here: the host will load this folder's DLL,
echo          which reads the settings here, not %REGISTERED_FOLDER%tallyport_settings.json.
echo          Copy that settings file here if it should apply; that folder's logs stay there.

:register
echo install: registering %DLL%
echo          with %REGSVR32%
"%REGSVR32%" /s "%DLL%"
set "RESULT=%ERRORLEVEL%"
if not "%RESULT%"=="0" goto failed

echo install: registered. The host creates the translator by its ProgID
echo          TallyportAccessControlTranslator.AccessControlTrans from now on.

rem The translator's source in the Windows Event Log (Application), whose
rem messages are in this DLL: what needs a person is raised there too.
set "EVENT_SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tallyport Access Control Translator"
reg add "%EVENT_SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%DLL%" /f >nul 2>&1
if errorlevel 1 goto no_event_source
reg add "%EVENT_SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul 2>&1
if errorlevel 1 goto no_event_source
:event_source_done

rem Where the translator keeps its settings and logs: the data folder recorded
rem for this folder under the product's key (32-bit view), else this folder.
set "LINE="
for /f "delims=" %%L in ('reg query "%PRODUCT_KEY%" /v DataFolder /reg:32 2^>nul ^| "%FIND%" "REG_SZ"') do set "LINE=%%L"
set "DATA_FOLDER="
if defined LINE if /i "%RECORDED_FOLDER%"=="%~dp0" set "DATA_FOLDER=%LINE:*REG_SZ    =%"
if not defined DATA_FOLDER goto data_beside

echo Next: edit tallyport_settings.json in the data folder recorded for this folder,
echo       %DATA_FOLDER%
echo       (see DEPLOYING.txt), then run tallyport-check.exe here as the account the
echo       host runs under, not as administrator, to check the settings, the server
echo       and the folders' rights.
exit /b 0

:data_beside
echo Next: edit tallyport_settings.json in this folder (see DEPLOYING.txt), then
echo       run tallyport-check.exe here as the account the host runs under, not as
echo       administrator, to check the settings, the server and the folders' rights.
echo Recommended (DEPLOYING.txt, Security): keep the programs in a folder only
echo       administrators may change, such as C:\Program Files (x86)\Tallyport Translator,
echo       and the settings and logs in a data folder of their own under C:\ProgramData
echo       that only the host's account and administrators may change, recorded as
echo       DataFolder under %PRODUCT_KEY%.
exit /b 0

:no_event_source
echo install: the Event Log source could not be registered under
echo          %EVENT_SOURCE_KEY%;
echo          the translator works, but its events show without their texts.
goto event_source_done

:msi_installed
echo install: NOT registered - the MSI package of the translator is installed in
echo          %RECORDED_FOLDER%
echo          and owns the registration: uninstalling it would remove a registration
echo          made here too. Uninstall it first (Add/Remove Programs, or
echo          msiexec /x %PRODUCT_CODE%), then run install.cmd again; or keep
echo          the MSI installation and use its folder.
exit /b 1

:missing
echo install: %DLL% is missing.
echo          Run install.cmd from the folder the package was unpacked into.
exit /b 1

:not_elevated
echo install: NOT registered - this needs administrator rights.
echo          Right-click install.cmd and choose "Run as administrator", or run it
echo          from a command prompt that was started that way.
exit /b 1

:failed
echo install: NOT registered - regsvr32 exit code %RESULT%.
if "%RESULT%"=="3" echo          The DLL could not be loaded: the file is damaged or incomplete.
if "%RESULT%"=="5" echo          The registration was refused: administrator rights are missing.
exit /b %RESULT%

rem Succeeds only in an elevated prompt: the filter manager and the server
rem service answer only administrators (the second one for machines whose
rem filter manager is not there).
:elevated
fltmc >nul 2>&1
if not errorlevel 1 exit /b 0
net session >nul 2>&1
exit /b
