@echo off
rem Registers companion.exe, which sits beside this script, as the native-messaging host com.vantro.companion of the current user in Chrome, Chromium, Edge, Brave and Firefox.
rem
rem   register.cmd [/chrome ID]... [/firefox ID]...   write the manifests beside companion.exe and the registry keys pointing at them
rem   register.cmd /unregister                        remove both again
rem
rem Each /chrome ID allows one extension in Chrome, Chromium, Edge and Brave;
rem each /firefox ID allows one extension in Firefox. Give at least one.
setlocal EnableExtensions EnableDelayedExpansion

set "HOST=com.vantro.companion"
set "HERE=%~dp0"
set "PROGRAM=%HERE%companion.exe"
set "CHROME_MANIFEST=%HERE%%HOST%.chrome.json"
set "FIREFOX_MANIFEST=%HERE%%HOST%.firefox.json"
rem JSON needs the path's backslashes doubled.
set "JSON_PROGRAM=%PROGRAM:\=\\%"
rem The registry keys under HKCU where each browser looks for the host's manifest.
set CHROME_KEYS="Software\Google\Chrome" "Software\Chromium" "Software\Microsoft\Edge" "Software\BraveSoftware\Brave-Browser"
set FIREFOX_KEYS="Software\Mozilla"
set "ORIGINS="
set "EXTENSIONS="

:parse
if "%~1"=="" goto parsed
if /i "%~1"=="/unregister" goto unregister
if "%~2"=="" goto usage
if /i "%~1"=="/chrome" (
  call :append ORIGINS "chrome-extension://%~2/"
) else if /i "%~1"=="/firefox" (
  call :append EXTENSIONS "%~2"
) else (
  goto usage
)
shift
shift
goto parse

:parsed
if not defined ORIGINS if not defined EXTENSIONS goto usage
if not exist "%PROGRAM%" goto missing
if not defined ORIGINS goto firefox
call :write_manifest "%CHROME_MANIFEST%" allowed_origins ORIGINS
if errorlevel 1 goto failed
call :register "%CHROME_MANIFEST%" %CHROME_KEYS%
if errorlevel 1 goto failed
:firefox
if not defined EXTENSIONS goto registered
call :write_manifest "%FIREFOX_MANIFEST%" allowed_extensions EXTENSIONS
if errorlevel 1 goto failed
call :register "%FIREFOX_MANIFEST%" %FIREFOX_KEYS%
if errorlevel 1 goto failed
:registered
echo Registered %HOST%: %PROGRAM%
exit /b 0

:unregister
set "UNREGISTER_FAILED="
for %%k in (%CHROME_KEYS% %FIREFOX_KEYS%) do call :remove_key "HKCU\%%~k\NativeMessagingHosts\%HOST%"
call :remove_file "%CHROME_MANIFEST%"
call :remove_file "%FIREFOX_MANIFEST%"
if defined UNREGISTER_FAILED (
  echo %~nx0: unregistering failed >&2
  exit /b 1
)
echo Unregistered %HOST%
exit /b 0

rem :remove_file FILE - deletes the file if it is there, and says so when it cannot.
:remove_file
if exist "%~1" del "%~1"
if not exist "%~1" exit /b 0
echo %~nx0: could not remove %~1 >&2
set "UNREGISTER_FAILED=1"
exit /b 1

rem :remove_key KEY - removes the key if it is there; a reg.exe that fails in any other way (one that could not
rem even start, say) is reported with its exit status, and the whole /unregister then fails.
:remove_key
reg query "%~1" >nul 2>&1
set "STATUS=%errorlevel%"
if "%STATUS%"=="1" exit /b 0
if not "%STATUS%"=="0" (
  echo %~nx0: reg query "%~1" failed with exit status %STATUS% >&2
  set "UNREGISTER_FAILED=1"
  exit /b 1
)
reg delete "%~1" /f >nul
set "STATUS=%errorlevel%"
if "%STATUS%"=="0" exit /b 0
echo %~nx0: reg delete "%~1" failed with exit status %STATUS% >&2
set "UNREGISTER_FAILED=1"
exit /b 1

rem :append VAR TEXT - adds TEXT as a JSON string to the comma-separated list in VAR.
:append
if defined %~1 set "%~1=!%~1!, "
set "%~1=!%~1!"%~2""
exit /b 0

rem :write_manifest FILE KEY VAR - writes one host manifest; VAR holds the allowed ids as JSON strings.
:write_manifest
> "%~1" echo {
>> "%~1" echo   "name": "%HOST%",
>> "%~1" echo   "description": "Relays an extension's messages to the Vantro desktop agent",
>> "%~1" echo   "path": "!JSON_PROGRAM!",
>> "%~1" echo   "type": "stdio",
>> "%~1" echo   "%~2": [!%~3!]
>> "%~1" echo }
if not exist "%~1" exit /b 1
exit /b 0

rem :register FILE KEY... - points each browser's key at the manifest.
:register
set "FILE=%~1"
shift
:register_next
if "%~1"=="" exit /b 0
reg add "HKCU\%~1\NativeMessagingHosts\%HOST%" /ve /t REG_SZ /d "%FILE%" /f >nul
if errorlevel 1 exit /b 1
shift
goto register_next

:usage
echo usage: %~nx0 [/chrome ID]... [/firefox ID]...
echo        %~nx0 /unregister
exit /b 2

:missing
echo %~nx0: companion.exe is not beside this script: %PROGRAM% >&2
exit /b 1

:failed
echo %~nx0: registration failed >&2
exit /b 1
