; The Windows installer. scripts/build-windows runs makensis with:
;   VERSION         the program's version
;   OUTFILE         the installer to write
;   INSTALL_LIST    File/CreateDirectory lines for every file of the staged program folder
;   UNINSTALL_LIST  Delete/RMDir lines for the same files and folders
; The uninstaller removes exactly the files the installer wrote, the folders only when empty.
; A 64-bit installer for a 64-bit program (it also runs where only 64-bit Wine is installed).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include x64.nsh

!define PRODUCT "Tovimo"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; Open With for .flv files: a ProgID of ours listed among the type's, and the program among the
; applications, never the type's default program.
!define FLV_KEY "Software\Classes\.flv"
!define PROGID "Tovimo.flv"
!define PROGID_KEY "Software\Classes\${PROGID}"
!define APPLICATION_KEY "Software\Classes\Applications\tovimo.exe"
!define SHCNE_ASSOCCHANGED 0x08000000

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} needs 64-bit Windows."
    Abort
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  !include "${INSTALL_LIST}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The program finds ui.glade, exit.png and its runtime files in its working folder, so the
  ; shortcut starts it in the install folder (the current output path).
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tovimo.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tovimo.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  WriteRegNone HKLM "${FLV_KEY}\OpenWithProgids" "${PROGID}"
  WriteRegStr HKLM "${PROGID_KEY}" "" "FLV video"
  WriteRegStr HKLM "${PROGID_KEY}\shell\open\command" "" '"$INSTDIR\tovimo.exe" "%1"'
  WriteRegStr HKLM "${APPLICATION_KEY}" "FriendlyAppName" "${PRODUCT}"
  WriteRegNone HKLM "${APPLICATION_KEY}\SupportedTypes" ".flv"
  WriteRegStr HKLM "${APPLICATION_KEY}\shell\open\command" "" '"$INSTDIR\tovimo.exe" "%1"'
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i 0, p 0, p 0)'
SectionEnd

Section "Start ${PRODUCT} at log-in" SecAutostart
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\tovimo.exe"
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "The program, its libraries and files."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecAutostart} "Start ${PRODUCT} in the tray when you log in."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Section "Uninstall"
  Delete "$SMSTARTUP\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  !include "${UNINSTALL_LIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; Of .flv only our entry goes; the keys only when nothing else is left in them.
  DeleteRegValue HKLM "${FLV_KEY}\OpenWithProgids" "${PROGID}"
  DeleteRegKey /ifempty HKLM "${FLV_KEY}\OpenWithProgids"
  DeleteRegKey /ifempty HKLM "${FLV_KEY}"
  DeleteRegKey HKLM "${PROGID_KEY}"
  DeleteRegKey HKLM "${APPLICATION_KEY}"
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i 0, p 0, p 0)'
SectionEnd
