; The Windows installer: Quillon into Program Files, a Start-menu entry, an uninstaller and its
; entry in Apps & Features. /S installs and uninstalls without a window.
; makensis -DVERSION=1.2.3.4 -DSTAGE=DIR -DOUTFILE=FILE quillon.nsi
; A 64-bit installer, for a 64-bit program (and Windows without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma

!define KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon"

Name "Quillon ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillon"
RequestExecutionLevel admin
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Quillon"
VIAddVersionKey "CompanyName" "Corvane Limited"
VIAddVersionKey "FileDescription" "Quillon installer"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 Quillon developers, MIT License"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Quillon"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Quillon"
  CreateShortcut "$SMPROGRAMS\Quillon\Quillon.lnk" "$INSTDIR\quillon.exe"
  WriteRegStr HKLM "${KEY}" "DisplayName" "Quillon"
  WriteRegStr HKLM "${KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${KEY}" "Publisher" "Corvane Limited"
  WriteRegStr HKLM "${KEY}" "DisplayIcon" "$INSTDIR\quillon.exe"
  WriteRegStr HKLM "${KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Quillon\Quillon.lnk"
  RMDir "$SMPROGRAMS\Quillon"
  RMDir /r "$INSTDIR"
  DeleteRegKey HKLM "${KEY}"
SectionEnd
