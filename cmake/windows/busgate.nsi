; Installer of busgated, busdump and libbusrec for Windows, built with makensis from a staged
; install tree (make-installer.sh writes the two file lists).
;
;   makensis -DVERSION=<version> -DFILES=<install list> -DUNFILES=<removal list> -DOUTFILE=<installer>
;            -DHELPER=<staged bin\busgate-service.exe> [-DTARGET=amd64-unicode] busgate.nsi
;
; Silent use:  busgate-<version>-win32.exe /S /OPTIONS="-a 192.0.2.10 -p 55010" [/BROADCAST] [/START=auto] [/NOEXTCAP] [/D=C:\busgate]
;              "C:\Program Files\busgate\uninstall.exe" /S [/KEEPDATA] _?=C:\Program Files\busgate
; The service BusgateSvc runs "busgated.exe -d" followed by /OPTIONS, with its log and buffer file
; in %ProgramData%\busgate unless the options name others; it starts on demand unless
; /START=auto, and the service manager restarts it after a failure. The options are read with
; busgated's own rules (bin\busgate-service.exe) before anything is installed: options busgated
; refuses, an unbalanced quote, or no -a without /BROADCAST end the installer with status 2.
; The component "Wireshark live capture" (on unless /NOEXTCAP, or unticked) copies busdump.exe
; into the extcap folder of the Wireshark installed on this PC, so that Wireshark lists the
; busgate receiver; without a Wireshark it does nothing and says so. A copy, not a batch file:
; Wireshark ends an extcap program with TerminateProcess, which would end cmd.exe and leave
; busdump.exe running with the port.

; -DTARGET=amd64-unicode makes a 64-bit installer (for the x86_64 build); the default is
; x86-unicode, the 32-bit one.
!ifdef TARGET
Target ${TARGET}
!else
Unicode true
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include StrFunc.nsh
!include WinMessages.nsh
!include x64.nsh
${UnStrStr}
${StrStr}
${UnStrRep}

!define PRODUCT "busgate"
!define SERVICE "BusgateSvc"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${SERVICE}"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define STATUS_REFUSED 2
!define WIRESHARK_APP_PATH_KEY "Software\Microsoft\Windows\CurrentVersion\App Paths\Wireshark.exe"
!define WIRESHARK_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Wireshark"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
!if "${TARGET}" == "amd64-unicode"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

Var ServiceOptions
Var StartType
Var Broadcast
Var ServiceCommand
Var OptionsField
Var AutoStartBox
Var BroadcastBox
Var KeepData

!define MUI_FINISHPAGE_TITLE "busgate is installed"
!define MUI_FINISHPAGE_TEXT "The service ${SERVICE} runs:$\r$\n$\r$\n$ServiceCommand$\r$\n$\r$\n(also in $INSTDIR\service-command.txt). Its log: %ProgramData%\busgate\busgated.log unless the options name another; its errors also go to the event log (Application, source ${SERVICE})."
!define MUI_FINISHPAGE_NOAUTOCLOSE

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom ServicePage ServicePageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Runs the helper with the arguments in $0 and leaves its exit status in $1 and its output in $2.
!macro RunHelper
  nsExec::ExecToStack '"$PLUGINSDIR\busgate-service.exe" $0'
  Pop $1
  Pop $2
!macroend

Function .onInit
  StrCpy $ServiceOptions ""
  StrCpy $StartType "demand"
  StrCpy $Broadcast ""
  InitPluginsDir
  File "/oname=$PLUGINSDIR\busgate-service.exe" "${HELPER}"
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/START=" $R1
  ${IfNot} ${Errors}
    StrCpy $R1 $R1 4
    ${If} $R1 == "auto"
      StrCpy $StartType "auto"
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/BROADCAST" $R1
  ${IfNot} ${Errors}
    StrCpy $Broadcast " --broadcast"
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/NOEXTCAP" $R1
  ${IfNot} ${Errors}
    Call LeaveOutExtcap
  ${EndIf}

  ; The /OPTIONS= value as the helper finds it in the parameters, quotes and all.
  FileOpen $R2 "$PLUGINSDIR\parameters.txt" w
  FileWrite $R2 $R0
  FileClose $R2
  StrCpy $0 'options "$PLUGINSDIR\parameters.txt" "$PLUGINSDIR\options.txt"'
  !insertmacro RunHelper
  ${If} $1 != 0
    Call RefuseOptions
  ${EndIf}
  FileOpen $R2 "$PLUGINSDIR\options.txt" r
  FileRead $R2 $ServiceOptions
  FileClose $R2

  ; Silently nobody can correct them: bad options end the installer before it changes anything.
  ${If} ${Silent}
    StrCpy $0 'check "$PLUGINSDIR\options.txt"$Broadcast'
    !insertmacro RunHelper
    ${If} $1 != 0
      Call RefuseOptions
    ${EndIf}
  ${EndIf}
FunctionEnd

Function RefuseOptions
  ${IfNot} ${Silent}
    MessageBox MB_ICONSTOP|MB_OK "The service's options are refused:$\r$\n$2"
  ${EndIf}
  SetErrorLevel ${STATUS_REFUSED}
  Quit
FunctionEnd

Function ServicePage
  !insertmacro MUI_HEADER_TEXT "Service ${SERVICE}" "Options of the gateway when it runs as a service"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "The service runs busgated.exe -d followed by these options, for example -a 192.0.2.10 -p 55010. Quote paths with blanks. The log and buffer file go to %ProgramData%\busgate unless -L and -B name others."
  Pop $0
  ${NSD_CreateText} 0 40u 100% 12u $ServiceOptions
  Pop $OptionsField
  ${NSD_CreateCheckbox} 0 60u 100% 12u "Start the service when Windows starts"
  Pop $AutoStartBox
  ${If} $StartType == "auto"
    ${NSD_Check} $AutoStartBox
  ${EndIf}
  ${NSD_CreateCheckbox} 0 76u 100% 12u "Broadcast on every network of this PC when no -a is given"
  Pop $BroadcastBox
  ${If} $Broadcast != ""
    ${NSD_Check} $BroadcastBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ServicePageLeave
  ${NSD_GetText} $OptionsField $ServiceOptions
  ${NSD_GetState} $AutoStartBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $StartType "auto"
  ${Else}
    StrCpy $StartType "demand"
  ${EndIf}
  ${NSD_GetState} $BroadcastBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Broadcast " --broadcast"
  ${Else}
    StrCpy $Broadcast ""
  ${EndIf}
  FileOpen $R2 "$PLUGINSDIR\options.txt" w
  FileWrite $R2 $ServiceOptions
  FileClose $R2
  StrCpy $0 'check "$PLUGINSDIR\options.txt"$Broadcast'
  !insertmacro RunHelper
  ${If} $1 != 0
    MessageBox MB_ICONEXCLAMATION|MB_OK "These options are refused:$\r$\n$2"
    Abort
  ${EndIf}
FunctionEnd

; Adds $INSTDIR\bin to the machine's PATH once. A PATH longer than NSIS strings hold is left
; alone rather than cut.
Function AddToPath
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  StrLen $1 $0
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    DetailPrint "PATH is too long to change here: add $INSTDIR\bin by hand"
    Return
  ${EndIf}
  ${StrStr} $2 "$0;" "$INSTDIR\bin;"
  ${If} $2 == ""
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR\bin"
    ${Else}
      StrCpy $0 "$0;$INSTDIR\bin"
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $0
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
FunctionEnd

Function un.RemoveFromPath
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  StrLen $1 $0
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    Return
  ${EndIf}
  ${UnStrRep} $1 "$0;" "$INSTDIR\bin;" ""
  StrCpy $1 $1 -1
  ${If} $1 != $0
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $1
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
FunctionEnd

Section "busgate" SecMain
  SectionIn RO
  SetShellVarContext all
  ; An earlier installation's service is replaced.
  nsExec::Exec 'sc stop ${SERVICE}'
  Pop $0
  nsExec::Exec 'sc delete ${SERVICE}'
  Pop $0
  ; So is its copy in Wireshark's extcap folder: the next section makes it anew when chosen.
  Call RemoveExtcapCopy

  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The service's home: its log and buffer file unless the options name others.
  CreateDirectory "$APPDATA\${PRODUCT}"

  ; The event source, with busgated.exe as its message file: error lines of the service.
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\bin\busgated.exe"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7

  ; Checked again and registered by the helper, which also writes service-command.txt and
  ; dashboard.cmd here.
  StrCpy $R3 ""
  ${If} $StartType == "auto"
    StrCpy $R3 " --auto"
  ${EndIf}
  StrCpy $0 'install "$PLUGINSDIR\options.txt" "$INSTDIR\bin\busgated.exe" "$APPDATA\${PRODUCT}" "$INSTDIR"$Broadcast$R3'
  !insertmacro RunHelper
  ${If} $1 != 0
    DetailPrint "The service ${SERVICE} is not registered: $2"
    SetErrorLevel ${STATUS_REFUSED}
  ${Else}
    StrCpy $ServiceCommand $2
    DetailPrint "Service ${SERVICE}: $2"
  ${EndIf}

  Call AddToPath
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\busgate documents.lnk" "$INSTDIR\docs"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\busgate dashboard.lnk" "$SYSDIR\cmd.exe" '/k "$INSTDIR\dashboard.cmd"' "$INSTDIR\bin\busgated.exe"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall busgate.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "busgate team"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Wireshark's folder in $R9 (no trailing backslash), or "" when no Wireshark is installed: its
; App Paths entry, its uninstall entry, then the usual folder. A 64-bit Wireshark registers in
; the 64-bit view of the registry.
Function FindWireshark
  StrCpy $R9 ""
!if "${TARGET}" == "amd64-unicode"
  SetRegView 64
!else
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!endif
  ReadRegStr $R8 HKLM "${WIRESHARK_APP_PATH_KEY}" ""
  ${If} $R8 != ""
  ${AndIf} ${FileExists} $R8
    ${GetParent} $R8 $R9
  ${Else}
    ReadRegStr $R8 HKLM "${WIRESHARK_UNINSTALL_KEY}" "InstallLocation"
    ${If} $R8 != ""
    ${AndIf} ${FileExists} "$R8\Wireshark.exe"
      StrCpy $R9 $R8
    ${EndIf}
  ${EndIf}
  SetRegView lastused
  ${If} $R9 == ""
    ${If} ${FileExists} "$PROGRAMFILES64\Wireshark\Wireshark.exe"
      StrCpy $R9 "$PROGRAMFILES64\Wireshark"
    ${ElseIf} ${FileExists} "$PROGRAMFILES\Wireshark\Wireshark.exe"
      StrCpy $R9 "$PROGRAMFILES\Wireshark"
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Wireshark live capture" SecExtcap
  SetShellVarContext all
  Call FindWireshark
  ${If} $R9 == ""
    DetailPrint "No Wireshark found on this PC: busdump.exe is not put in an extcap folder (docs\busdump.md)"
    Return
  ${EndIf}
  ; Wireshark 4.0 to 4.2 run the programs of extcap\, later ones those of extcap\wireshark\.
  StrCpy $R7 "$R9\extcap"
  ${If} ${FileExists} "$R9\extcap\wireshark\*.*"
    StrCpy $R7 "$R9\extcap\wireshark"
  ${EndIf}
  CreateDirectory $R7
  ClearErrors
  CopyFiles /SILENT "$INSTDIR\bin\busdump.exe" "$R7\busdump.exe"
  ${If} ${Errors}
    DetailPrint "busdump.exe could not be copied into $R7: Wireshark does not list the busgate receiver"
  ${Else}
    WriteRegStr HKLM "${UNINSTALL_KEY}" "ExtcapFile" "$R7\busdump.exe"
    DetailPrint "Wireshark's extcap folder $R7 holds busdump.exe: Wireshark lists the busgate receiver"
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} "busgated, the service ${SERVICE}, busdump, libbusrec and the documents."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecExtcap} "Live capture in Wireshark: busdump.exe goes into the extcap folder of the Wireshark on this PC, which then lists the busgate receiver."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function LeaveOutExtcap
  SectionSetFlags ${SecExtcap} 0
FunctionEnd

; The copy an earlier installation put into Wireshark's extcap folder, and its record.
!macro RemoveExtcapCopy un
Function ${un}RemoveExtcapCopy
  ReadRegStr $R8 HKLM "${UNINSTALL_KEY}" "ExtcapFile"
  ${If} $R8 != ""
    Delete $R8
    DeleteRegValue HKLM "${UNINSTALL_KEY}" "ExtcapFile"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro RemoveExtcapCopy ""
!insertmacro RemoveExtcapCopy "un."

Function un.onInit
  StrCpy $KeepData ""
  ${GetParameters} $R0
  ; A copy started by an uninstaller run in place (_?=): it removes that uninstaller's file and
  ; the folder as soon as the uninstaller has ended, and nothing else.
  ClearErrors
  ${GetOptions} $R0 "/CLEANUP" $R1
  ${IfNot} ${Errors}
    StrCpy $1 0
    ${Do}
      Delete "$INSTDIR\uninstall.exe"
      ${IfNot} ${FileExists} "$INSTDIR\uninstall.exe"
      ${OrIf} $1 >= 240
        ${Break}
      ${EndIf}
      IntOp $1 $1 + 1
      Sleep 250
    ${Loop}
    RMDir "$INSTDIR"
    Delete /REBOOTOK "$EXEPATH"
    Quit
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/KEEPDATA" $R1
  ${IfNot} ${Errors}
    StrCpy $KeepData "1"
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  nsExec::Exec 'sc stop ${SERVICE}'
  Pop $0
  ; The gateway takes a moment to stop its card and sender: wait up to 20 s.
  StrCpy $1 0
  ${Do}
    nsExec::ExecToStack 'sc query ${SERVICE}'
    Pop $0
    Pop $2
    ${UnStrStr} $3 $2 "STOPPED"
    ${If} $0 != 0
    ${OrIf} $3 != ""
    ${OrIf} $1 >= 40
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    Sleep 500
  ${Loop}
  nsExec::Exec 'sc delete ${SERVICE}'
  Pop $0
  ; The recorder's scheduled task, where busdump-recorder.cmd registered one.
  nsExec::Exec 'schtasks /End /TN busgate-recorder'
  Pop $0
  nsExec::Exec 'schtasks /Delete /F /TN busgate-recorder'
  Pop $0
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  Call un.RemoveExtcapCopy
  Call un.RemoveFromPath
  Delete "$SMPROGRAMS\${PRODUCT}\busgate documents.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\busgate dashboard.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall busgate.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  ; Logs and data of the service: kept when asked (/KEEPDATA, or yes to the question).
  ${If} $KeepData == ""
  ${AndIfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION "Keep the logs and data in $APPDATA\${PRODUCT}?" IDNO +2
    StrCpy $KeepData "1"
  ${EndIf}
  ${If} $KeepData == ""
    RMDir /r "$APPDATA\${PRODUCT}"
  ${EndIf}

  !include "${UNFILES}"
  Delete "$INSTDIR\service-command.txt"
  Delete "$INSTDIR\dashboard.cmd"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Run in place (_?=), the uninstaller cannot delete its own running file: everything else is
  ; gone when it returns, and a copy of it removes the file and the folder once it has ended.
  Delete "$INSTDIR\uninstall.exe"
  ${If} ${FileExists} "$INSTDIR\uninstall.exe"
    CopyFiles /SILENT "$INSTDIR\uninstall.exe" "$TEMP\busgate-cleanup.exe"
    Exec '"$TEMP\busgate-cleanup.exe" /S /CLEANUP _?=$INSTDIR'
  ${EndIf}
  RMDir "$INSTDIR"
SectionEnd
