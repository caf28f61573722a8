; The Windows installer. scripts/windows-package.sh gathers the programs with
; exactly the DLLs and plugins they load in STAGE and passes VERSION (from
; project() in CMakeLists.txt), STAGE, ICON and OUTFILE with -D.
; A 64-bit installer for the 64-bit programs; it runs where no 32-bit layer is installed.
Target amd64-unicode
SetCompressor /SOLID lzma

!define NAME "TALVEX Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVEX Updater"
!define FILE_TYPE "Vantor.TalvexFirmware"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\${NAME}"
RequestExecutionLevel admin
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "CompanyName" "Vantor"
VIAddVersionKey "FileDescription" "${NAME} installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright © Vantor. All rights reserved."

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext all
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The machine's trusted keys, empty until an administrator adds one
  ; ($APPDATA is ProgramData for all users).
  CreateDirectory "$APPDATA\TALVEX Updater\trusted-keys"
  CreateShortCut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\talvex-updater.exe" "" "$INSTDIR\talvex-updater.exe" 0

  ; A .tvf file opens the window with that file chosen.
  WriteRegStr HKLM "Software\Classes\.tvf" "" "${FILE_TYPE}"
  WriteRegStr HKLM "Software\Classes\${FILE_TYPE}" "" "TALVEX firmware file"
  WriteRegStr HKLM "Software\Classes\${FILE_TYPE}\DefaultIcon" "" "$INSTDIR\talvex-updater.exe,0"
  WriteRegStr HKLM "Software\Classes\${FILE_TYPE}\shell\open\command" "" '"$INSTDIR\talvex-updater.exe" "%1"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Vantor"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\talvex-updater.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  Delete "$SMPROGRAMS\${NAME}.lnk"
  ; Only what the installer put there: the stage's list, written by the packaging script.
  !include "${STAGE}.files.nsh"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; The trusted keys go only when there are none: keys an administrator
  ; installed stay, and the log says where.
  RMDir "$APPDATA\TALVEX Updater\trusted-keys"
  RMDir "$APPDATA\TALVEX Updater"
  IfFileExists "$APPDATA\TALVEX Updater\trusted-keys\*.*" 0 +2
  DetailPrint "Kept: $APPDATA\TALVEX Updater\trusted-keys holds keys an administrator installed."
  ; The file type only while it is still ours.
  ReadRegStr $0 HKLM "Software\Classes\.tvf" ""
  StrCmp $0 "${FILE_TYPE}" 0 +2
  DeleteRegKey HKLM "Software\Classes\.tvf"
  DeleteRegKey HKLM "Software\Classes\${FILE_TYPE}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
