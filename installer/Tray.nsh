; The tray program: ending the running copies before its file is replaced or removed, and starting it
; for the user who runs the installer. Macros taking the prefix "" (installer) or "un." (uninstaller).

!include LogicLib.nsh

!define /ifndef WM_QUIT 0x0012
!define /ifndef HWND_MESSAGE -3
; The class of the tray's message-only window.
!define TRAY_WINDOW_CLASS "{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON"
; Polls of 250 ms: for the trays to end after being asked to (5 s), and after being ended (5 s).
!define TRAY_CLOSE_POLLS 20

; TrayFileFree: $0 = 1 when $INSTDIR\QuillonSystray.exe is absent or no process runs it (a running
; program's image cannot be opened for writing), else 0.
!macro QUILLON_TRAY_FILE_FREE UN
Function ${UN}TrayFileFree
  StrCpy $0 1
  ${If} ${FileExists} "$INSTDIR\${TRAY_EXE}"
    ClearErrors
    FileOpen $1 "$INSTDIR\${TRAY_EXE}" a
    ${If} ${Errors}
      StrCpy $0 0
    ${Else}
      FileClose $1
    ${EndIf}
  ${EndIf}
FunctionEnd
!macroend

; WaitForTrayFileFree: polls TrayFileFree up to TRAY_CLOSE_POLLS times; $0 as TrayFileFree.
!macro QUILLON_WAIT_FOR_TRAY_FILE_FREE UN
Function ${UN}WaitForTrayFileFree
  StrCpy $2 0
  ${Do}
    Call ${UN}TrayFileFree
    ${If} $0 = 1
    ${OrIf} $2 >= ${TRAY_CLOSE_POLLS}
      Return
    ${EndIf}
    IntOp $2 $2 + 1
    Sleep 250
  ${Loop}
FunctionEnd
!macroend

; StopTray: ends every tray of this session the way its own "Quit" does, by a quit message to the
; thread of its window (its message loop ends, it removes its icon and exits), waits for the program
; file to be free, and then ends whatever still runs it (trays of other sessions, a tray that does not
; answer) with taskkill. $0 = 1 when the file is free in the end. Clobbers $1-$3.
!macro QUILLON_STOP_TRAY UN
Function ${UN}StopTray
  StrCpy $3 0
  StrCpy $1 0
  ${Do}
    System::Call 'user32::FindWindowExW(p ${HWND_MESSAGE}, p r1, w "${TRAY_WINDOW_CLASS}", p 0) p .r1'
    ${If} $1 P= 0
      ${Break}
    ${EndIf}
    System::Call 'user32::GetWindowThreadProcessId(p r1, p 0) i .r2'
    System::Call 'user32::PostThreadMessageW(i r2, i ${WM_QUIT}, p 0, p 0)'
    IntOp $3 $3 + 1
  ${Loop}
  ${If} $3 > 0
    DetailPrint "Closing the notification area program"
  ${EndIf}
  Call ${UN}WaitForTrayFileFree
  ${If} $0 = 0
    DetailPrint "Ending the notification area program"
    nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${TRAY_EXE}'
    Pop $0
    Call ${UN}WaitForTrayFileFree
  ${EndIf}
FunctionEnd
!macroend

; StartTray: starts the installed tray for the user of this session, with that user's ordinary rights:
; through the shell (explorer hands the program to the desktop's own shell, which runs it unelevated),
; not from this elevated process. Without a taskbar in the session (a service account, a remote
; deployment) there is no notification area to show it in: the Run entry starts it at the next logon.
!macro QUILLON_START_TRAY UN
Function ${UN}StartTray
  System::Call 'user32::FindWindowW(w "Shell_TrayWnd", p 0) p .r0'
  ${If} $0 P= 0
    DetailPrint "No taskbar in this session: the notification area program starts at the next logon"
    Return
  ${EndIf}
  DetailPrint "Starting the notification area program"
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\${TRAY_EXE}"'
FunctionEnd
!macroend
