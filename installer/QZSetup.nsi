; The agent's setup program: installs QZService with its companions, registers
; and starts the service, and removes it all again. Silent with /S or with
; the switches self-update passes (/SP- /VERYSILENT /SUPPRESSMSGBOXES); run
; as an update it stops the running agent, replaces the files, starts it
; again and leaves "<name>.ok" beside itself for the agent to find.
;
; makensis -DVERSION=1.2.3.4 -DSRCDIR=<folder with the programs> -DOUTFILE=<setup.exe> [-DX64] QZSetup.nsi

Unicode true
!ifdef X64
  Target amd64-unicode
!endif
SetCompressor /SOLID lzma

!include "FileFunc.nsh"
!include "LogicLib.nsh"

!ifndef VERSION
  !error "VERSION is required"
!endif
!ifndef SRCDIR
  !error "SRCDIR is required"
!endif
!ifndef OUTFILE
  !define OUTFILE "QZSetup.exe"
!endif

!define SERVICE "TallistoClient"
!define PRODUCT "Tallisto Client"
!define COMPANY "Korvane Inc"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TallistoClient"
!define EVENTKEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Tallisto Client"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
ShowInstDetails show
!ifdef X64
  InstallDir "$PROGRAMFILES64\Tallisto"
!else
  InstallDir "$PROGRAMFILES\Tallisto"
!endif
InstallDirRegKey HKLM "${UNINSTKEY}" "InstallLocation"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${COMPANY}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${COMPANY}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  !ifdef X64
    SetRegView 64
  !endif
  ; The switches of the update command line mean a silent run.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/VERYSILENT" $R1
  ${IfNot} ${Errors}
    SetSilent silent
  ${EndIf}
FunctionEnd

Function un.onInit
  !ifdef X64
    SetRegView 64
  !endif
FunctionEnd

; Stops the agent and waits until its program can be replaced.
!macro StopAgent
  ExecWait '"$SYSDIR\net.exe" stop ${SERVICE}' $0
  DetailPrint "Stopping the service: $0"
  StrCpy $1 0
  ${Do}
    ClearErrors
    FileOpen $2 "$INSTDIR\QZService.exe" a
    ${IfNot} ${Errors}
      FileClose $2
      ${Break}
    ${EndIf}
    IfFileExists "$INSTDIR\QZService.exe" 0 done
    IntOp $1 $1 + 1
    ${If} $1 > 60
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
  done:
!macroend

Section "Install"
  SetOutPath "$INSTDIR"
  !insertmacro StopAgent
  SetOverwrite on
  File "${SRCDIR}\QZService.exe"
  File "${SRCDIR}\restart.exe"
  File "${SRCDIR}\QZMessenger.exe"
  File "${SRCDIR}\QZScreen.exe"
  File "${SRCDIR}\DOZudezoz.exe"
  File "${SRCDIR}\QZManager.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The event-log source reads its texts from the agent's message table.
  WriteRegExpandStr HKLM "${EVENTKEY}" "EventMessageFile" "$INSTDIR\QZService.exe"
  WriteRegDWORD HKLM "${EVENTKEY}" "TypesSupported" 7

  ; A new installation registers the service; an update finds it registered.
  ExecWait '"$INSTDIR\QZService.exe" /INSTALL /SILENT' $0
  DetailPrint "Registering the service: $0"
  ExecWait '"$SYSDIR\net.exe" start ${SERVICE}' $0
  DetailPrint "Starting the service: $0"
  ${If} $0 != 0
    SetErrorLevel 2
  ${EndIf}
  ; The manager's Control Panel entry; a "config.ini" left by a deployment
  ; tool is applied on the way (the manager restarts the service then).
  ExecWait '"$INSTDIR\QZManager.exe" /register_cp' $1
  DetailPrint "Control Panel entry and unattended configuration: $1"

  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\QZService.exe"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1

  ; Run as an update from the agent's Update folder: the start marker beside
  ; this program becomes the success marker, with the same content.
  ${GetBaseName} "$EXEFILE" $R0
  ${If} $0 == 0
  ${AndIf} ${FileExists} "$EXEDIR\$R0.start"
    CopyFiles /SILENT "$EXEDIR\$R0.start" "$EXEDIR\$R0.ok"
    Delete "$EXEDIR\$R0.start"
  ${EndIf}
SectionEnd

Section "Uninstall"
  ExecWait '"$INSTDIR\QZManager.exe" /unregister_cp' $0
  ExecWait '"$SYSDIR\net.exe" stop ${SERVICE}' $0
  ExecWait '"$INSTDIR\QZService.exe" /UNINSTALL /SILENT' $0
  DetailPrint "Removing the service: $0"
  ; The stop is reported before the service's process has ended: the program
  ; can be in use a little longer.
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\QZService.exe"
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 > 60
      Delete /REBOOTOK "$INSTDIR\QZService.exe"
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
  Delete "$INSTDIR\restart.exe"
  Delete "$INSTDIR\QZMessenger.exe"
  Delete "$INSTDIR\QZScreen.exe"
  Delete "$INSTDIR\DOZudezoz.exe"
  Delete "$INSTDIR\QZManager.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${EVENTKEY}"
  DeleteRegKey HKLM "${UNINSTKEY}"
  ; The data folder with the settings and logs stays for a later installation.
SectionEnd
