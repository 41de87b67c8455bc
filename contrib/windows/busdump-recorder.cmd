@echo off
rem busdump as an always-on recorder on Windows, the counterpart of the systemd unit
rem busdump-recorder.service (docs\busdump.md, "Leaving a recorder running").
rem   busdump-recorder install     registers the scheduled task busgate-recorder, DISABLED: once
rem                                enabled it runs "busdump-recorder run" as SYSTEM at every start
rem                                of Windows, with no time limit, restarted when it fails
rem   schtasks /Change /TN busgate-recorder /ENABLE   and   schtasks /Run /TN busgate-recorder
rem   busdump-recorder keep        asks the running recorder to keep the minutes around now
rem   busdump-recorder uninstall   stops and removes the task
rem   busdump-recorder run         the recorder itself, in this console (Ctrl+C ends it cleanly)
rem The recorder's options are on the busdump line at :run (-b and -p for the gateway's
rem destination, --baseline FILE to keep the minutes around alerts too).
setlocal
set "BUSDUMP=%~dp0bin\busdump.exe"
set "DATA=%ProgramData%\busgate\recorder"
if /i "%~1"=="run" goto run
if /i "%~1"=="install" goto install
if /i "%~1"=="uninstall" goto uninstall
if /i "%~1"=="keep" goto keep
echo usage: %~nx0 install ^| uninstall ^| keep ^| run
exit /b 2

:install
rem Through PowerShell: schtasks /Create alone gives every task a limit of 72 hours.
powershell -NoProfile -ExecutionPolicy Bypass -Command "$a = New-ScheduledTaskAction -Execute '%~f0' -Argument 'run'; $t = New-ScheduledTaskTrigger -AtStartup; $s = New-ScheduledTaskSettingsSet -ExecutionTimeLimit ([TimeSpan]::Zero) -RestartCount 9999 -RestartInterval (New-TimeSpan -Minutes 1) -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries; $p = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest; Register-ScheduledTask -TaskName 'busgate-recorder' -Action $a -Trigger $t -Settings $s -Principal $p -Force | Out-Null; Disable-ScheduledTask -TaskName 'busgate-recorder' | Out-Null"
exit /b %errorlevel%

:uninstall
schtasks /End /TN busgate-recorder >nul 2>&1
schtasks /Delete /F /TN busgate-recorder
exit /b %errorlevel%

:keep
"%BUSDUMP%" --keep-now --keep-dir "%DATA%\keep"
exit /b %errorlevel%

:run
if not exist "%DATA%\ring" mkdir "%DATA%\ring"
"%BUSDUMP%" -q -p 57117 -w "%DATA%\ring\capture.pcap" -G 3600 -C 100 --disk-budget 20000 --keep-dir "%DATA%\keep" --keep-before 120 --keep-after 120
exit /b %errorlevel%
