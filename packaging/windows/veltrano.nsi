; The Windows installer: built by scripts/package-windows from the staged portable folder.
; Installed per user, under the user's own programs folder: the program keeps config.ini, its
; database and its logs beside the .exe, which must stay writable without elevation and closed to
; other users.
; The 64-bit stub: the program is 64-bit, and so runs everywhere the installer does.
Target amd64-unicode
!include "MUI2.nsh"

Name "Veltrano ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Veltrano"
InstallDirRegKey HKCU "Software\Veltrano" "InstallDir"
RequestExecutionLevel user
SetCompressor zlib ; lzma would add minutes to every CI run for a smaller download

!define MUI_FINISHPAGE_RUN "$INSTDIR\veltrano.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

Section "Veltrano"
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  ; An operator's own settings survive a reinstall or an upgrade.
  IfFileExists "$INSTDIR\config.ini" +2 0
    CopyFiles /SILENT "$INSTDIR\config.ini.example" "$INSTDIR\config.ini"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "Software\Veltrano" "InstallDir" "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\Veltrano.lnk" "$INSTDIR\veltrano.exe"
  !define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Veltrano"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Veltrano"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Veltrano"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\veltrano.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there; config.ini, the database, the logs and the exports stay,
; for they are the operator's data.
Section "Uninstall"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\veltrano.exe"
  Delete "$INSTDIR\config.ini.example"
  Delete "$INSTDIR\schema-sqlserver.sql"
  Delete "$INSTDIR\README.txt"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\sqldrivers"
  RMDir /r "$INSTDIR\imageformats"
  RMDir /r "$INSTDIR\skin"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Veltrano.lnk"
  DeleteRegKey HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Veltrano"
  DeleteRegKey HKCU "Software\Veltrano"
SectionEnd
