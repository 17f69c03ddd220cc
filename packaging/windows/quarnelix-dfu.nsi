; The Windows installer: the window and the line's operator window with their Qt files, the
; command line and the README under Program Files, a Start-menu shortcut with the icon for each
; window, and an uninstaller listed among the installed programs. /S installs and uninstalls silently.
;
; makensis -DVERSION=1.0.0 -DSTAGE=<folder with the files> -DOUTFILE=<setup.exe> quarnelix-dfu.nsi
Target amd64-unicode  ; a 64-bit installer for a 64-bit program (and for a Wine without 32-bit support)
SetCompressor /SOLID lzma

!define NAME "quarnelix-dfu"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"

Name "quarnelix-dfu ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
RequestExecutionLevel admin
ShowInstDetails nevershow
ShowUninstDetails nevershow

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateShortCut "$SMPROGRAMS\quarnelix-dfu.lnk" "$INSTDIR\quarnelix-dfu.exe" "" "$INSTDIR\quarnelix-dfu.ico"
  CreateShortCut "$SMPROGRAMS\quarnelix-dfu-line.lnk" "$INSTDIR\quarnelix-dfu-line.exe" "" "$INSTDIR\quarnelix-dfu.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "quarnelix-dfu ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "quarnelix-dfu"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quarnelix-dfu.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\quarnelix-dfu.lnk"
  Delete "$SMPROGRAMS\quarnelix-dfu-line.lnk"
  ; the settings file the window may have written beside itself goes too
  RMDir /r "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
