; QuillonSetup-<version>.exe: installs, upgrades and removes the Quillon service and its tray program.
; Built by the Windows build (installer/installer.cmake) with makensis, which passes in:
;   VERSION        the project version, four numbers (1.0.3.0)
;   VERSION_MAJOR, VERSION_MINOR
;   PROGRAM_DIR    the folder with the cross-built QuillonVADService.exe, QuillonSystray.exe and QuillonDiag.exe
;   ICON           the tray's icon file, drawn at build time
;   OUTFILE        the installer to write
;   SIGN_CMAKE, SIGN_SCRIPT, SIGN_TOOL, SIGN_TEST_PFX (optional): how to sign the uninstaller and the
;                  installer (cmake/sign.cmake); unsigned without them
;
; A 64-bit program (NSIS's amd64-unicode stubs): a 32-bit Windows refuses to start it, and it works in
; the 64-bit registry view and Program Files folder as they are, without redirection. Silent with /S (the
; uninstaller too: Uninstall.exe /S, which keeps the settings).
; Exit codes beyond NSIS's own (0 done, 1 cancelled, 2 aborted): 740 not elevated, 1618 another setup
; of Quillon is running, 3 installed but the service did not reach "running".
;
; The service gets recovery actions (restarted 5 s after a failure, three times; the count starts again
; after a day without one), also for failures where it stops itself with an error; all users' Start menu
; gets an entry for the tray and one for the diagnostics view (QuillonDiag in a console window). Without the virtual audio driver (device Root\Quillon_VirtualAudio) the
; installation ends saying that the console's audio needs it.

!macro QUILLON_REQUIRE NAME
  !ifndef ${NAME}
    !error "makensis needs -D${NAME}=... (see the top of Quillon.nsi)"
  !endif
!macroend
!insertmacro QUILLON_REQUIRE VERSION
!insertmacro QUILLON_REQUIRE VERSION_MAJOR
!insertmacro QUILLON_REQUIRE VERSION_MINOR
!insertmacro QUILLON_REQUIRE PROGRAM_DIR
!insertmacro QUILLON_REQUIRE ICON
!insertmacro QUILLON_REQUIRE OUTFILE

Target amd64-unicode
!ifdef SIGN_SCRIPT
  !define SIGN_WITH '"${SIGN_CMAKE}" "-DOSSLSIGNCODE=${SIGN_TOOL}" "-DTEST_PFX=${SIGN_TEST_PFX}"'
  !uninstfinalize '${SIGN_WITH} "-DDESCRIPTION=Quillon Virtual Device Driver uninstaller" "-DFILE=%1" -P "${SIGN_SCRIPT}"' = 0
  !finalize '${SIGN_WITH} "-DDESCRIPTION=Quillon Virtual Device Driver Setup" "-DFILE=%1" -P "${SIGN_SCRIPT}"' = 0
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true
; A file that cannot be written fails the installation (silent too) instead of being skipped.
AllowSkipFiles off

!define PRODUCT_NAME "Quillon Virtual Device Driver"
!define PUBLISHER "Arvel Rozezezezed"
!define SERVICE_NAME "Quillon Virtual Device Driver"
!define SERVICE_DESCRIPTION "Bridges the Quillon console's audio channels to the endpoints of the Quillon virtual audio driver."
!define SERVICE_EXE "QuillonVADService.exe"
!define TRAY_EXE "QuillonSystray.exe"
!define DIAG_EXE "QuillonDiag.exe"
!define UNINSTALL_EXE "Uninstall.exe"
!define SETTINGS_PARENT_KEY "SOFTWARE\${PUBLISHER}"
!define SETTINGS_KEY "${SETTINGS_PARENT_KEY}\${SERVICE_NAME}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Quillon"
!define START_MENU_LINK "$SMPROGRAMS\Quillon.lnk"
!define DIAG_MENU_LINK "$SMPROGRAMS\Quillon Diagnostics.lnk"
!define DRIVER_HARDWARE_ID "Root\Quillon_VirtualAudio"
; One installer or uninstaller at a time: both stop and start the same service.
!define SETUP_MUTEX "Global\QuillonSetup{5C0B7E52-3E0F-4C8D-9F1B-2D6A4E8C71A3}"
!define ERROR_ALREADY_EXISTS 183
!define ERROR_ELEVATION_REQUIRED 740
!define ERROR_INSTALL_ALREADY_RUNNING 1618
!define EXIT_SERVICE_NOT_RUNNING 3

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillon"
BrandingText "${PUBLISHER}"
ShowInstDetails show
ShowUninstDetails show

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include "Service.nsh"
!include "Tray.nsh"
!include "Driver.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
; Filled in by the installation: what it did, and what is still missing.
Var FinishText
!define MUI_FINISHPAGE_TEXT "$FinishText"
!define MUI_WELCOMEPAGE_TEXT "This installs the Quillon service, which makes the channels of a Quillon console available to Windows applications as separate audio devices, and its notification area program.$\r$\n$\r$\nAn installed version is replaced; its settings are kept.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT_NAME} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "InternalName" "QuillonSetup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (C) ${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "OriginalFilename" "QuillonSetup-${VERSION}.exe"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"

!insertmacro QUILLON_SERVICE_STATE ""
!insertmacro QUILLON_WAIT_FOR_SERVICE_STATE ""
!insertmacro QUILLON_STOP_SERVICE ""
!insertmacro QUILLON_REGISTER_SERVICE ""
!insertmacro QUILLON_START_SERVICE ""
!insertmacro QUILLON_TRAY_FILE_FREE ""
!insertmacro QUILLON_WAIT_FOR_TRAY_FILE_FREE ""
!insertmacro QUILLON_STOP_TRAY ""
!insertmacro QUILLON_START_TRAY ""
!insertmacro QUILLON_DRIVER_PRESENT ""

; EndDiagnostics: ends every running QuillonDiag.exe (a view of the service's state; nothing to save).
!macro QUILLON_END_DIAGNOSTICS UN
Function ${UN}EndDiagnostics
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${DIAG_EXE}'
  Pop $0
FunctionEnd
!macroend
!insertmacro QUILLON_END_DIAGNOSTICS ""
!insertmacro QUILLON_END_DIAGNOSTICS "un."

!insertmacro QUILLON_SERVICE_STATE "un."
!insertmacro QUILLON_WAIT_FOR_SERVICE_STATE "un."
!insertmacro QUILLON_STOP_SERVICE "un."
!insertmacro QUILLON_DELETE_SERVICE "un."
!insertmacro QUILLON_TRAY_FILE_FREE "un."
!insertmacro QUILLON_WAIT_FOR_TRAY_FILE_FREE "un."
!insertmacro QUILLON_STOP_TRAY "un."

; The checks both sides make before anything else: administrator rights, no other setup of Quillon
; running. Each refusal says why (silent: nothing shown) and ends with its exit code.
!macro QUILLON_PRECONDITIONS
  ; The Start-menu entry goes to all users' menu, as the Run value starts the tray for every user.
  SetShellVarContext all
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_OK|MB_ICONSTOP "Setting up Quillon needs administrator rights: it installs a Windows service.$\r$\n$\r$\nStart it again as an administrator." /SD IDOK
    SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
    Quit
  ${EndIf}
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p .r1 ? e'
  Pop $0
  ${If} $0 = ${ERROR_ALREADY_EXISTS}
    MessageBox MB_OK|MB_ICONSTOP "Another setup of Quillon is running. Let it finish first." /SD IDOK
    SetErrorLevel ${ERROR_INSTALL_ALREADY_RUNNING}
    Quit
  ${EndIf}
!macroend

Function .onInit
  !insertmacro QUILLON_PRECONDITIONS
  ; Always Program Files (an /D= elsewhere is not taken): the service runs as LocalSystem,
  ; and only a folder that users cannot write to keeps its program from being swapped under it.
  StrCpy $INSTDIR "$PROGRAMFILES64\Quillon"
  StrCpy $FinishText "Quillon is installed.$\r$\n$\r$\nClick Finish to close this wizard."
FunctionEnd

Function un.onInit
  !insertmacro QUILLON_PRECONDITIONS
FunctionEnd

Section "Quillon" SecQuillon
  SectionIn RO

  ; An installed version (an upgrade, or the same version again): nothing may run the files about to
  ; be replaced. The settings key is not touched, so the settings carry over.
  Call StopTray
  ${If} $0 <> 1
    MessageBox MB_OK|MB_ICONSTOP "The notification area program $INSTDIR\${TRAY_EXE} is still running and cannot be replaced. Nothing has been changed.$\r$\n$\r$\nQuit it from its menu and run the setup again." /SD IDOK
    Abort "The notification area program is still running."
  ${EndIf}
  Call StopService
  ${If} $0 == "timeout"
    MessageBox MB_OK|MB_ICONSTOP "The service $\"${SERVICE_NAME}$\" did not stop, so its files cannot be replaced. Nothing has been changed.$\r$\n$\r$\nRestart Windows and run the setup again." /SD IDOK
    Abort "The service did not stop."
  ${EndIf}

  ; A diagnostics view left open holds its program file; it keeps nothing, so it is simply ended.
  Call EndDiagnostics

  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "${PROGRAM_DIR}/${SERVICE_EXE}"
  File "${PROGRAM_DIR}/${TRAY_EXE}"
  File "${PROGRAM_DIR}/${DIAG_EXE}"
  WriteUninstaller "$INSTDIR\${UNINSTALL_EXE}"

  ; "Apps & features".
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${VERSION_MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${VERSION_MINOR}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${TRAY_EXE},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALL_EXE}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALL_EXE}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  Call RegisterService
  ${If} $0 <> 1
    MessageBox MB_OK|MB_ICONSTOP "The service $\"${SERVICE_NAME}$\" could not be registered (error $3).$\r$\n$\r$\nThe files are in $INSTDIR; uninstall Quillon from Apps & features to remove them." /SD IDOK
    Abort "The service could not be registered (error $3)."
  ${EndIf}

  ; Every user's logon starts the tray; a user who quit it starts it again from the Start menu.
  WriteRegStr HKLM "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${TRAY_EXE}"'
  CreateShortcut "${START_MENU_LINK}" "$INSTDIR\${TRAY_EXE}" "" "$INSTDIR\${TRAY_EXE}" 0 SW_SHOWNORMAL "" \
      "Shows the Quillon service and console in the notification area"
  ; The diagnostics view in a console window that stays open (so "not running" can be read).
  CreateShortcut "${DIAG_MENU_LINK}" "$SYSDIR\cmd.exe" '/k ""$INSTDIR\${DIAG_EXE}""' "$INSTDIR\${TRAY_EXE}" 0 \
      SW_SHOWNORMAL "" "Shows live what the Quillon service's audio bridge does"

  Call StartService
  ${If} $0 <> 1
    DetailPrint "The service did not start (error $5)"
    MessageBox MB_OK|MB_ICONEXCLAMATION "Quillon is installed, but the service $\"${SERVICE_NAME}$\" did not start (error $5). It starts with Windows next time." /SD IDOK
    SetErrorLevel ${EXIT_SERVICE_NOT_RUNNING}
  ${EndIf}
  Call StartTray

  Call DriverPresent
  ${If} $0 <> 1
    StrCpy $1 "The Quillon virtual audio driver (${DRIVER_HARDWARE_ID}) is not installed: the console's audio channels reach Windows applications only through it. Install it, and the service picks it up within a second."
    DetailPrint "$1"
    StrCpy $FinishText "Quillon is installed.$\r$\n$\r$\n$1$\r$\n$\r$\nClick Finish to close this wizard."
  ${EndIf}
SectionEnd

Section "Uninstall"
  Call un.StopTray
  Call un.StopService
  ${If} $0 == "timeout"
    DetailPrint "The service did not stop; its files go at the next restart"
  ${EndIf}
  Call un.DeleteService

  Call un.EndDiagnostics
  DeleteRegValue HKLM "${RUN_KEY}" "${RUN_VALUE}"
  Delete "${START_MENU_LINK}"
  Delete "${DIAG_MENU_LINK}"
  Delete /REBOOTOK "$INSTDIR\${SERVICE_EXE}"
  Delete /REBOOTOK "$INSTDIR\${TRAY_EXE}"
  Delete /REBOOTOK "$INSTDIR\${DIAG_EXE}"
  Delete "$INSTDIR\${UNINSTALL_EXE}"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; The settings outlive the program unless the user says otherwise (silent: they stay). The service,
  ; which writes them when it stops, is stopped by now.
  MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "Remove Quillon's settings (bypass and latency) as well?" /SD IDNO IDNO keep_settings
    DeleteRegKey HKLM "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKLM "${SETTINGS_PARENT_KEY}"
  keep_settings:
SectionEnd
