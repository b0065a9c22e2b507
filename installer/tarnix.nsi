; Per-user installer for Tarnix: no administrator prompt, installs where the
; user can write (the self-update replaces the program beside itself).
;
; makensis -DVERSION=1.001 -DVERSION4=1.1.0.0 -DPROGRAM=path\Tarnix.exe
;          -DREADME=path\README.txt -DOUTFILE=path\setup.exe [-DSIGN=command] tarnix.nsi
; SIGN, when given, is run on the uninstaller and on the installer (%1 is the file).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!macro REQUIRE NAME
  !ifndef ${NAME}
    !error "${NAME} must be defined (see the top of this file)"
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE VERSION4
!insertmacro REQUIRE PROGRAM
!insertmacro REQUIRE README
!insertmacro REQUIRE OUTFILE

!define NAME "Tarnix"
!define PUBLISHER "Tarnix"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnix"
; Window classes of the running program: an install or uninstall waits for them to go.
!define MAIN_CLASS "TarnixMainWindow"
!define UPDATE_CLASS "TarnixUpdateWindow"

Name "${NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${NAME} ${VERSION}"

!ifdef SIGN
  !uninstfinalize '${SIGN} "%1"' = 0
  !finalize '${SIGN} "%1"' = 0
!endif

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=0 "ProductName" "${NAME}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "FileDescription" "${NAME} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\Tarnix.exe"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the default where the system's is neither.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString RunningText ${LANG_SIMPCHINESE} "Tarnix 正在运行。请先关闭它，然后点击“重试”。"
LangString RunningText ${LANG_ENGLISH} "Tarnix is running. Close it, then click Retry."
LangString StillRunning ${LANG_SIMPCHINESE} "Tarnix 仍在运行，安装程序已退出。"
LangString StillRunning ${LANG_ENGLISH} "Tarnix is still running; setup has stopped."

; Waits until no Tarnix window is left. Interactively the user is asked to close
; it; silently the program gets 30 s to end by itself. Gives up with exit code 2.
!macro WAIT_FOR_PROGRAM UN
Function ${UN}WaitForProgram
  StrCpy $1 0
  again:
    FindWindow $0 "${MAIN_CLASS}"
    StrCmp $0 0 0 running
    FindWindow $0 "${UPDATE_CLASS}"
    StrCmp $0 0 done running
  running:
    IfSilent 0 ask
    IntCmp $1 60 give_up
    IntOp $1 $1 + 1
    Sleep 500
    Goto again
  ask:
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(RunningText)" IDRETRY again
    MessageBox MB_OK|MB_ICONSTOP "$(StillRunning)"
  give_up:
    SetErrorLevel 2
    Quit
  done:
FunctionEnd
!macroend
!insertmacro WAIT_FOR_PROGRAM ""
!insertmacro WAIT_FOR_PROGRAM "un."

Function .onInit
  SetShellVarContext current
  Call WaitForProgram
FunctionEnd

Function un.onInit
  SetShellVarContext current
  Call un.WaitForProgram
FunctionEnd

Section "Tarnix" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  ; A finished or failed self-update may have left these beside an older copy.
  Delete "$INSTDIR\Tarnix.exe.old"
  Delete "$INSTDIR\Tarnix.exe.part"
  File "/oname=Tarnix.exe" "${PROGRAM}"
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The shortcut starts in the install folder: the update writes into the
  ; current directory.
  CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\Tarnix.exe" "" "$INSTDIR\Tarnix.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Tarnix.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; Removes what the installer put there and what the self-update may have left,
; nothing else: the folder goes only when it is then empty.
Section "Uninstall"
  Delete "$INSTDIR\Tarnix.exe"
  Delete "$INSTDIR\Tarnix.exe.old"
  Delete "$INSTDIR\Tarnix.exe.part"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${NAME}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
