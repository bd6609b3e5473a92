@echo off
rem Registers companion.exe, which sits beside this script, as the native-messaging host @COMPANION_HOST_NAME@ of the current user in Chrome, Chromium, Edge, Brave and Firefox.
rem
rem   register.cmd [/chrome ID]... [/firefox ID]...   write the manifests beside companion.exe and the registry keys pointing at them
rem   register.cmd /unregister                        remove this folder's manifests and the keys that name them
rem
rem Each /chrome ID (32 letters a to p) allows one extension in Chrome, Chromium, Edge and Brave; each /firefox ID
rem (a {GUID} or name@domain) allows one extension in Firefox. Give at least one.
rem
rem The folder may have any name a user can give it. Its path is never expanded as %%VARIABLE%% or !VARIABLE!, which
rem would take a "%%" or "!" in it for part of a variable and let a "&" end the command, only as a FOR variable; and
rem the manifests name companion.exe relative to their own folder, as the installer's do, so that they are plain
rem ASCII whatever the console's code page.
setlocal EnableExtensions DisableDelayedExpansion

set "HOST=@COMPANION_HOST_NAME@"
set "ME=%~nx0"
rem This script as it was started: %%~dpD of it in a FOR loop is its folder.
set "SELF=%0"
rem The registry keys under HKCU where each browser looks for the host's manifest.
set CHROME_KEYS=@COMPANION_CHROME_KEYS_CMD@
set FIREFOX_KEYS=@COMPANION_FIREFOX_KEYS_CMD@
rem Where /unregister puts this folder's manifest paths to compare them with the browsers' keys.
set "SCRATCH=HKCU\Software\%HOST%.unregister"
set "ORIGINS="
set "EXTENSIONS="
set "ORIGINS_SEPARATOR="
set "EXTENSIONS_SEPARATOR="

:parse
if "%~1"=="" goto parsed
set "OPTION=%~1"
set "ID=%~2"
if /i "%OPTION%"=="/unregister" goto unregister
if not defined ID goto usage
if /i "%OPTION%"=="/chrome" goto chrome_id
if /i "%OPTION%"=="/firefox" goto firefox_id
goto usage

:chrome_id
call :is_chrome_id
if errorlevel 1 goto bad_chrome_id
set "ORIGINS=%ORIGINS%%ORIGINS_SEPARATOR%"chrome-extension://%ID%/""
set "ORIGINS_SEPARATOR=, "
goto next_option

:firefox_id
call :is_firefox_id
if errorlevel 1 goto bad_firefox_id
set "EXTENSIONS=%EXTENSIONS%%EXTENSIONS_SEPARATOR%"%ID%""
set "EXTENSIONS_SEPARATOR=, "

:next_option
shift
shift
goto parse

:parsed
if not defined ORIGINS if not defined EXTENSIONS goto usage
for %%D in (%SELF%) do if not exist "%%~dpDcompanion.exe" goto missing
if not defined ORIGINS goto firefox
call :write_manifest chrome allowed_origins ORIGINS
if errorlevel 1 goto failed
call :register chrome %CHROME_KEYS%
if errorlevel 1 goto failed
:firefox
if not defined EXTENSIONS goto registered
call :write_manifest firefox allowed_extensions EXTENSIONS
if errorlevel 1 goto failed
call :register firefox %FIREFOX_KEYS%
if errorlevel 1 goto failed
:registered
for %%D in (%SELF%) do echo Registered %HOST%: %%~dpDcompanion.exe
exit /b 0

:unregister
set "UNREGISTER_FAILED="
call :unregister_family chrome
call :unregister_family firefox
for %%D in (%SELF%) do for %%f in (chrome firefox) do (
  if exist "%%~dpD%HOST%.%%f.json" del "%%~dpD%HOST%.%%f.json"
  if exist "%%~dpD%HOST%.%%f.json" (
    echo %ME%: could not remove %%~dpD%HOST%.%%f.json >&2
    set "UNREGISTER_FAILED=1"
  )
)
if defined UNREGISTER_FAILED (
  echo %ME%: unregistering failed >&2
  exit /b 1
)
echo Unregistered %HOST%
exit /b 0

rem :unregister_family FAMILY - removes each browser's key that names this folder's %HOST%.FAMILY.json. reg.exe
rem writes a value in the console's code page, so this folder's path goes through a scratch key and reg.exe too,
rem and the two come out alike exactly when the paths are alike.
:unregister_family
for %%D in (%SELF%) do reg add "%SCRATCH%" /ve /t REG_SZ /d "%%~dpD%HOST%.%~1.json" /f >nul
if errorlevel 1 (
  echo %ME%: reg add "%SCRATCH%" failed with exit status %errorlevel% >&2
  set "UNREGISTER_FAILED=1"
  exit /b 1
)
for %%k in (%CHROME_KEYS% %FIREFOX_KEYS%) do call :remove_key_if_ours "HKCU\%%~k\NativeMessagingHosts\%HOST%"
call :reg delete "%SCRATCH%" /f
exit /b

rem :remove_key_if_ours KEY - removes the key if its default value is the path now in the scratch key.
:remove_key_if_ours
reg query "%~1" >nul 2>&1
set "STATUS=%errorlevel%"
if "%STATUS%"=="1" exit /b 0
if not "%STATUS%"=="0" (
  echo %ME%: reg query "%~1" failed with exit status %STATUS% >&2
  set "UNREGISTER_FAILED=1"
  exit /b 1
)
set "OURS="
for /f "delims=" %%r in ('reg query "%~1" /ve 2^>nul') do (
  for /f "delims=" %%s in ('reg query "%SCRATCH%" /ve 2^>nul') do if /i "%%r"=="%%s" set "OURS=1"
)
if defined OURS call :reg delete "%~1" /f
exit /b

rem :reg OPERATION KEY... - runs reg.exe on a key; one that fails (one that could not even start, say) is reported
rem with its exit status, and the whole /unregister then fails. CALL expands its arguments once more, so none may
rem hold a path. Each reg.exe's status is tested on a line of its own: Wine's cmd takes "||" after a redirection
rem in a FOR loop for a failure.
:reg
reg %* >nul
if errorlevel 1 goto reg_failed
exit /b 0
:reg_failed
echo %ME%: reg %1 %2 failed with exit status %errorlevel% >&2
set "UNREGISTER_FAILED=1"
exit /b 1

rem :is_chrome_id - whether ID is a Chrome extension id, 32 letters a to p, as the Linux install step takes it.
:is_chrome_id
set "CHECKED=%ID%"
call :only_characters abcdefghijklmnop
if errorlevel 1 exit /b 1
rem Nothing else is in it, so it may be expanded from here on.
if "%ID:~31,1%"=="" exit /b 1
if not "%ID:~32,1%"=="" exit /b 1
exit /b 0

rem :is_firefox_id - whether ID is an add-on id that Firefox takes, as the Linux install step does: a {GUID} or
rem name@domain (letters of either case, digits, ".", "-" and "_").
:is_firefox_id
set "CHECKED=%ID%"
call :only_characters ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-@{}
if errorlevel 1 exit /b 1
if "%ID:~0,1%"=="{" goto is_guid
if not "%ID:{=%"=="%ID%" exit /b 1
if not "%ID:}=%"=="%ID%" exit /b 1
set "DOMAIN=%ID:*@=%"
if "%DOMAIN%"=="%ID%" exit /b 1
if not defined DOMAIN exit /b 1
if not "%DOMAIN:@=%"=="%DOMAIN%" exit /b 1
exit /b 0
:is_guid
if not "%ID:~37%"=="}" exit /b 1
if not "%ID:~9,1%%ID:~14,1%%ID:~19,1%%ID:~24,1%"=="----" exit /b 1
set "HEX=%ID:~1,36%"
set "HEX=%HEX:-=%"
set "CHECKED=%HEX%"
call :only_characters 0123456789ABCDEFabcdef
if errorlevel 1 exit /b 1
if "%HEX:~31,1%"=="" exit /b 1
if not "%HEX:~32,1%"=="" exit /b 1
exit /b 0

rem :only_characters CHARACTERS - whether CHECKED holds nothing but those characters, told case by case: FOR /F
rem finds a token in what is left between them. Within the quotes whatever CHECKED holds is text, never a command;
rem the "a" in front keeps a ";" at its start from passing for a comment.
:only_characters
for /f "delims=%~1" %%c in ("a%CHECKED%") do exit /b 1
exit /b 0

rem :write_manifest FAMILY KEY VARIABLE - writes %HOST%.FAMILY.json beside this script; VARIABLE holds its entries.
rem Each line is redirected by itself: Wine's cmd redirects only the first command of a block in a FOR loop.
:write_manifest
call set "ALLOWED=%%%3%%"
for %%D in (%SELF%) do (
  > "%%~dpD%HOST%.%1.json" echo {
  >> "%%~dpD%HOST%.%1.json" echo   "name": "%HOST%",
  >> "%%~dpD%HOST%.%1.json" echo   "description": "@COMPANION_HOST_DESCRIPTION@",
  >> "%%~dpD%HOST%.%1.json" echo   "path": "companion.exe",
  >> "%%~dpD%HOST%.%1.json" echo   "type": "stdio",
  >> "%%~dpD%HOST%.%1.json" echo   "%2": [%ALLOWED%]
  >> "%%~dpD%HOST%.%1.json" echo }
  if not exist "%%~dpD%HOST%.%1.json" exit /b 1
)
exit /b 0

rem :register FAMILY KEY... - points each browser's key at this folder's %HOST%.FAMILY.json.
:register
set "FAMILY=%~1"
:register_next
shift
if "%~1"=="" exit /b 0
for %%D in (%SELF%) do reg add "HKCU\%~1\NativeMessagingHosts\%HOST%" /ve /t REG_SZ /d "%%~dpD%HOST%.%FAMILY%.json" /f >nul
if errorlevel 1 exit /b 1
goto register_next

:usage
echo usage: %ME% [/chrome ID]... [/firefox ID]...
echo        %ME% /unregister
exit /b 2

:bad_chrome_id
for /f "tokens=1* delims==" %%a in ('set ID') do if "%%a"=="ID" echo %ME%: '%%b' is not a Chrome extension id (32 letters a to p) >&2
exit /b 2

:bad_firefox_id
for /f "tokens=1* delims==" %%a in ('set ID') do if "%%a"=="ID" echo %ME%: '%%b' is not a Firefox add-on id ({GUID} or name@domain) >&2
exit /b 2

:missing
for %%D in (%SELF%) do echo %ME%: companion.exe is not beside this script: %%~dpDcompanion.exe >&2
exit /b 1

:failed
echo %ME%: registration failed >&2
exit /b 1
