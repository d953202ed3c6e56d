; The Windows installer of Tessaline (makensis, run by `scripts/windows package`).
; For the current user (the default; no administrator needed) or for all users (/AllUsers, asks for an
; administrator), a Start menu entry, an uninstaller that removes exactly the files it installed, and a silent
; installation with /S. Defined by the caller: VERSION, ICON, FILES and UNFILES (the lists of File and Delete lines
; made from the installed tree), OUTFILE.

Unicode true
; A 64-bit installer for the 64-bit program: it runs where the program runs (and under a 64-bit-only Wine).
Target amd64-unicode
SetCompressor /SOLID lzma

!define APPNAME "Tessaline"
!define COMPANY "Brackwell"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessaline"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${APPNAME}"
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_USE_PROGRAMFILES64
!include "MultiUser.nsh"
!include "MUI2.nsh"
!include "x64.nsh"

Name "${APPNAME} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${APPNAME} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APPNAME}"
VIAddVersionKey "CompanyName" "${COMPANY}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APPNAME} installer"
VIAddVersionKey "LegalCopyright" "${COMPANY}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\tessaline.exe"

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
    !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Tessaline" SecMain
    SectionIn RO
    SetOutPath "$INSTDIR"
    !include "${FILES}"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${APPNAME}.lnk" "$INSTDIR\tessaline.exe" "" "$INSTDIR\tessaline.exe" 0

    ; Apps & features: SHCTX is the current user's hive or the machine's, as the installation mode chose.
    WriteRegStr SHCTX "${UNINSTKEY}" "DisplayName" "${APPNAME}"
    WriteRegStr SHCTX "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTKEY}" "Publisher" "${COMPANY}"
    WriteRegStr SHCTX "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\tessaline.exe"
    WriteRegStr SHCTX "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
    WriteRegStr SHCTX "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
    WriteRegDWORD SHCTX "${UNINSTKEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTKEY}" "NoRepair" 1
SectionEnd

; Off unless ticked (and never with /S alone): a task of the installing user that runs the headless backup every
; night at 02:30 with the stored connection and backup folder. README.md ("Windows") says how to change it.
!define TASKNAME "Tessaline backup"
Section /o "Nightly backup (Task Scheduler)" SecTask
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Create /F /SC DAILY /ST 02:30 /TN "${TASKNAME}" /TR "\"$INSTDIR\tessaline-backup.exe\""'
    Pop $0
    StrCmp $0 0 +2
        DetailPrint "The scheduled task ${TASKNAME} could not be created (schtasks exit status $0)."
SectionEnd

Section "Uninstall"
    ; Only what the installer put there: a folder that holds anything else (a backup saved into it) stays.
    !include "${UNFILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${APPNAME}.lnk"
    ; The program's own start-with-Windows value goes with it; the settings stay, as a reinstallation expects.
    DeleteRegValue HKCU "Software\Microsoft\Windows\CurrentVersion\Run" "tessaline.exe"
    DeleteRegKey SHCTX "${UNINSTKEY}"
    ; The nightly task, if the installer made one (none there is no error).
    nsExec::Exec '"$SYSDIR\schtasks.exe" /Delete /F /TN "${TASKNAME}"'
    Pop $0
SectionEnd
