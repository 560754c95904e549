; SPDX-License-Identifier: MIT
; TorvaneScanner-setup.exe: the TWAIN data source and the driver DLLs into
; C:\Windows\twain_64\Torvane\ (and the 32-bit ones into twain_32\Torvane\),
; the driver's configuration key with its defaults, and an uninstaller. /S
; installs (and uninstalls) silently.
; Built by CMake (target torvane_installer) with makensis, given:
;   -DSOURCE_DS=<TorvaneScanner.ds> -DDRIVER_DIR=<folder of RM735.dll, KT918.dll>
;   [-DX86_DIR=<folder of the 32-bit TorvaneScanner.ds, RM735.dll, KT918.dll>]
;   -DOUTFILE=<setup.exe> -DVERSION=<x.y.z>

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define CONFIG_KEY "SOFTWARE\Torvane\TWAIN"
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\TorvaneScanner"

Name "Torvane Scanner ${VERSION}"
OutFile "${OUTFILE}"
; Where TWAIN managers look for 64-bit data sources.
InstallDir "$WINDIR\twain_64\Torvane"

; Where TWAIN managers look for 32-bit data sources.
!define X86_FOLDER "$WINDIR\twain_32\Torvane"

; The driver's configuration: logging off, its files in ProgramData. Values
; already there (an earlier installation) are kept.
!macro WriteConfigDefaults
  ClearErrors
  ReadRegDWORD $0 HKLM "${CONFIG_KEY}" "DEBUGLEVEL"
  IfErrors 0 +2
    WriteRegDWORD HKLM "${CONFIG_KEY}" "DEBUGLEVEL" 0
  ClearErrors
  ReadRegStr $0 HKLM "${CONFIG_KEY}" "SAVEPATH"
  IfErrors 0 +2
    WriteRegStr HKLM "${CONFIG_KEY}" "SAVEPATH" "$APPDATA\Torvane\"
!macroend

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Torvane Scanner"
  SetOutPath "$INSTDIR"
  File "${SOURCE_DS}"
  File "${DRIVER_DIR}/RM735.dll"
  File "${DRIVER_DIR}/KT918.dll"

  SetShellVarContext all
  CreateDirectory "$APPDATA\Torvane"
  SetRegView 64
  !insertmacro WriteConfigDefaults
!ifdef X86_DIR
  SetOutPath "${X86_FOLDER}"
  File "${X86_DIR}/TorvaneScanner.ds"
  File "${X86_DIR}/RM735.dll"
  File "${X86_DIR}/KT918.dll"
  ; A 32-bit driver reads the registry's 32-bit view.
  SetRegView 32
  !insertmacro WriteConfigDefaults
  SetRegView 64
!endif

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Torvane Scanner"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Torvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\TorvaneScanner.ds"
  Delete "$INSTDIR\RM735.dll"
  Delete "$INSTDIR\KT918.dll"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  SetRegView 64
  DeleteRegKey HKLM "${CONFIG_KEY}"
  DeleteRegKey /ifempty HKLM "SOFTWARE\Torvane"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!ifdef X86_DIR
  Delete "${X86_FOLDER}\TorvaneScanner.ds"
  Delete "${X86_FOLDER}\RM735.dll"
  Delete "${X86_FOLDER}\KT918.dll"
  RMDir "${X86_FOLDER}"
  SetRegView 32
  DeleteRegKey HKLM "${CONFIG_KEY}"
  DeleteRegKey /ifempty HKLM "SOFTWARE\Torvane"
  SetRegView 64
!endif
SectionEnd
