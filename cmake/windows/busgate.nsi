; Installer of busgated, busdump and libbusrec for Windows, built with makensis from a staged
; install tree (make-installer.sh writes the two file lists).
;
;   makensis -DVERSION=<version> -DFILES=<install list> -DUNFILES=<removal list> -DOUTFILE=<installer>
;            [-DTARGET=amd64-unicode] busgate.nsi
;
; Silent use:  busgate-<version>-win32.exe /S [/OPTIONS="-a 192.0.2.10 -p 55010"] [/START=auto] [/D=C:\busgate]
;              "C:\busgate\uninstall.exe" /S
; The service BusgateSvc runs "busgated.exe -d" followed by /OPTIONS, and starts on demand
; unless /START=auto. Its command line stays editable: sc config BusgateSvc binPath= "...".

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
${StrStr}
${StrLoc}
${UnStrStr}

!define PRODUCT "busgate"
!define SERVICE "BusgateSvc"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

Var ServiceOptions
Var StartType
Var OptionsField
Var AutoStartBox

!insertmacro MUI_PAGE_DIRECTORY
Page custom ServicePage ServicePageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  StrCpy $ServiceOptions ""
  StrCpy $StartType "demand"
  ${GetParameters} $R0
  Call ReadServiceOptions
  ClearErrors
  ${GetOptions} $R0 "/START=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 == "auto"
    StrCpy $StartType "auto"
  ${EndIf}
FunctionEnd

; /OPTIONS="-a 192.0.2.10 -p 55010" as typed in cmd, or "/OPTIONS=-a 192.0.2.10 -p 55010" as
; programs quote a whole argument.
Function ReadServiceOptions
  ${StrStr} $R1 $R0 '"/OPTIONS='
  ${If} $R1 != ""
    StrCpy $R1 $R1 "" 10
    ${StrLoc} $R2 $R1 '"' ">"
    ${If} $R2 != ""
      StrCpy $R1 $R1 $R2
    ${EndIf}
    StrCpy $ServiceOptions $R1
    Return
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/OPTIONS=" $R1
  ${If} ${Errors}
    Return
  ${EndIf}
  StrCpy $R2 $R1 1
  StrCpy $R3 $R1 "" -1
  ${If} $R2 == '"'
  ${AndIf} $R3 == '"'
    StrCpy $R1 $R1 -1 1
  ${EndIf}
  StrCpy $ServiceOptions $R1
FunctionEnd

Function ServicePage
  !insertmacro MUI_HEADER_TEXT "Service ${SERVICE}" "Options of the gateway when it runs as a service"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "The service runs busgated.exe -d followed by these options, for example -a 192.0.2.10 -p 55010 (without -a the gateway broadcasts). Change them later with: sc config ${SERVICE} binPath= ..."
  Pop $0
  ${NSD_CreateText} 0 40u 100% 12u $ServiceOptions
  Pop $OptionsField
  ${NSD_CreateCheckbox} 0 60u 100% 12u "Start the service when Windows starts"
  Pop $AutoStartBox
  ${If} $StartType == "auto"
    ${NSD_Check} $AutoStartBox
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
FunctionEnd

Section "busgate"
  SetShellVarContext all
  ; An earlier installation's service is replaced.
  nsExec::Exec 'sc stop ${SERVICE}'
  Pop $0
  nsExec::Exec 'sc delete ${SERVICE}'
  Pop $0

  !include "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  nsExec::ExecToLog 'sc create ${SERVICE} binPath= "\"$INSTDIR\bin\busgated.exe\" -d $ServiceOptions" start= $StartType DisplayName= "busgate capture gateway"'
  Pop $0
  ${If} $0 != 0
    DetailPrint "sc create ${SERVICE} failed ($0)"
    SetErrorLevel 2
  ${EndIf}
  nsExec::Exec 'sc description ${SERVICE} "Forwards the events of a FIP fieldbus from a Linkscope card in UDP datagrams"'
  Pop $0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "busgate team"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

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

  !include "${UNFILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
