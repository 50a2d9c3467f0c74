; The service, through the service control manager's own calls (advapi32, by the System plug-in): no
; sc.exe output to parse, exact results. Each function is a macro taking the prefix "" (installer) or
; "un." (uninstaller), so each side gets only the functions it uses.
;
; Every function may clobber $0-$6 and leaves its result in $0.

!include LogicLib.nsh

!define /ifndef SC_MANAGER_CONNECT        0x0001
!define /ifndef SC_MANAGER_CREATE_SERVICE 0x0002
!define /ifndef SERVICE_CHANGE_CONFIG     0x0002
!define /ifndef SERVICE_QUERY_STATUS      0x0004
!define /ifndef SERVICE_START             0x0010
!define /ifndef SERVICE_STOP              0x0020
!define /ifndef SERVICE_DELETE_ACCESS     0x00010000
!define /ifndef SERVICE_ALL_ACCESS        0x000F01FF
!define /ifndef SERVICE_WIN32_OWN_PROCESS 0x10
!define /ifndef SERVICE_AUTO_START        2
!define /ifndef SERVICE_ERROR_NORMAL      1
!define /ifndef SERVICE_CONFIG_DESCRIPTION 1
!define /ifndef SERVICE_CONFIG_FAILURE_ACTIONS 2
!define /ifndef SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4
!define /ifndef SC_ACTION_RESTART         1
!define /ifndef SERVICE_CONTROL_STOP      1
!define /ifndef SERVICE_STOPPED           1
!define /ifndef SERVICE_START_PENDING     2
!define /ifndef SERVICE_STOP_PENDING      3
!define /ifndef SERVICE_RUNNING           4
!define /ifndef SYNCHRONIZE               0x00100000
!define /ifndef ERROR_SERVICE_ALREADY_RUNNING 1056

; Recovery: restarted this long after each failure, three times; the failure count starts again after
; a day without one (s).
!define SERVICE_RESTART_DELAY_MS 5000
!define SERVICE_FAILURE_RESET_S 86400

; How long to wait for the service to reach a state, in polls of 250 ms (30 s), and for its process
; to end once it reports stopped (ms).
!define SERVICE_WAIT_POLLS 120
!define SERVICE_EXIT_WAIT_MS 15000

; ServiceState: $0 = the current state (1 stopped ... 4 running) of the service whose handle is in $1,
; and $6 = its process id (0 when it has none); $0 = 0 when the query fails. Clobbers $4 only besides.
!macro QUILLON_SERVICE_STATE UN
Function ${UN}ServiceState
  ; SERVICE_STATUS_PROCESS: nine DWORDs.
  System::Call '*(i, i, i, i, i, i, i, i, i) p .r4'
  System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r4, i 36, *i) i .r0'
  ${If} $0 <> 0
    System::Call '*$4(i, i .r0, i, i, i, i, i, i .r6, i)'
  ${Else}
    StrCpy $6 0
  ${EndIf}
  System::Free $4
FunctionEnd
!macroend

; WaitForServiceState: polls the service whose handle is in $1 until it reaches the state in $2, or
; stopped (where a service that fails to start ends up: no use waiting on). $0 = 1 when it reached
; $2, 0 when it stopped instead, the wait ran out or the query failed. Clobbers $3, $4 and $6 besides.
!macro QUILLON_WAIT_FOR_SERVICE_STATE UN
Function ${UN}WaitForServiceState
  StrCpy $3 0
  ${Do}
    Call ${UN}ServiceState
    ${If} $0 = $2
      StrCpy $0 1
      Return
    ${EndIf}
    ${If} $0 = 0
    ${OrIf} $0 = ${SERVICE_STOPPED}
      StrCpy $0 0
      Return
    ${EndIf}
    IntOp $3 $3 + 1
    ${If} $3 > ${SERVICE_WAIT_POLLS}
      StrCpy $0 0
      Return
    ${EndIf}
    Sleep 250
  ${Loop}
FunctionEnd
!macroend

; StopService: stops the service if it is installed and not stopped, waits until it reports stopped
; and then until its process has ended (its files can then be replaced or removed).
; $0 = "absent", "stopped" or "timeout".
!macro QUILLON_STOP_SERVICE UN
Function ${UN}StopService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p .r1'
  ${If} $1 P= 0
    StrCpy $0 "absent"
    Return
  ${EndIf}
  Push $1
  System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE_NAME}", i ${SERVICE_STOP}|${SERVICE_QUERY_STATUS}) p .r1'
  ${If} $1 P= 0
    Pop $1
    System::Call 'advapi32::CloseServiceHandle(p r1)'
    StrCpy $0 "absent"
    Return
  ${EndIf}

  Call ${UN}ServiceState
  StrCpy $5 $6  ; the process to wait for
  ; A service still starting takes no stop request yet: let it get to running (or fail) first.
  ${If} $0 = ${SERVICE_START_PENDING}
    StrCpy $2 ${SERVICE_RUNNING}
    Call ${UN}WaitForServiceState
    Call ${UN}ServiceState
  ${EndIf}
  ${If} $0 = ${SERVICE_STOPPED}
    StrCpy $0 1
  ${Else}
    ; Running (or paused): ask it to stop. One already stopping just needs the wait.
    ${If} $0 <> ${SERVICE_STOP_PENDING}
      DetailPrint "Stopping the service $\"${SERVICE_NAME}$\""
      System::Call '*(i, i, i, i, i, i, i) p .r4'
      System::Call 'advapi32::ControlService(p r1, i ${SERVICE_CONTROL_STOP}, p r4)'
      System::Free $4
    ${EndIf}
    StrCpy $2 ${SERVICE_STOPPED}
    Call ${UN}WaitForServiceState
  ${EndIf}
  StrCpy $2 $0

  ${If} $5 <> 0
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r5) p .r3'
    ${If} $3 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r3, i ${SERVICE_EXIT_WAIT_MS})'
      System::Call 'kernel32::CloseHandle(p r3)'
    ${EndIf}
  ${EndIf}

  System::Call 'advapi32::CloseServiceHandle(p r1)'
  Pop $1
  System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${If} $2 = 1
    StrCpy $0 "stopped"
  ${Else}
    StrCpy $0 "timeout"
  ${EndIf}
FunctionEnd
!macroend

; RegisterService: creates the service for $INSTDIR\QuillonVADService.exe, or, when it exists (an
; upgrade), points it there again with the same settings; then sets its description and its recovery
; actions (also for a service that stops itself with an error: the flag for non-crash failures).
; $0 = 1 on success, 0 on failure (the error code in $3).
!macro QUILLON_REGISTER_SERVICE UN
Function ${UN}RegisterService
  StrCpy $3 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}|${SC_MANAGER_CREATE_SERVICE}) p .r1 ? e'
  Pop $3
  ${If} $1 P= 0
    StrCpy $0 0
    Return
  ${EndIf}
  StrCpy $4 '"$INSTDIR\${SERVICE_EXE}"'
  System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE_NAME}", i ${SERVICE_ALL_ACCESS}) p .r2'
  ${If} $2 P<> 0
    DetailPrint "Updating the service $\"${SERVICE_NAME}$\""
    System::Call 'advapi32::ChangeServiceConfigW(p r2, i ${SERVICE_WIN32_OWN_PROCESS}, i ${SERVICE_AUTO_START}, \
        i ${SERVICE_ERROR_NORMAL}, w r4, p 0, p 0, p 0, p 0, p 0, w "${SERVICE_NAME}") i .r0 ? e'
  ${Else}
    DetailPrint "Registering the service $\"${SERVICE_NAME}$\""
    System::Call 'advapi32::CreateServiceW(p r1, w "${SERVICE_NAME}", w "${SERVICE_NAME}", i ${SERVICE_ALL_ACCESS}, \
        i ${SERVICE_WIN32_OWN_PROCESS}, i ${SERVICE_AUTO_START}, i ${SERVICE_ERROR_NORMAL}, w r4, \
        p 0, p 0, p 0, p 0, p 0) p .r2 ? e'
    StrCpy $0 0
    ${If} $2 P<> 0
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  Pop $3
  ${If} $0 <> 0
    ; SERVICE_DESCRIPTIONW: one pointer to the text.
    StrCpy $5 "${SERVICE_DESCRIPTION}"
    System::Call '*(&w512 r5) p .r5'
    System::Call '*(p r5) p .r6'
    System::Call 'advapi32::ChangeServiceConfig2W(p r2, i ${SERVICE_CONFIG_DESCRIPTION}, p r6)'
    System::Free $6
    System::Free $5
    ; SC_ACTION[3] {Type, Delay}, then SERVICE_FAILURE_ACTIONSW (x64: reset period, padding, reboot
    ; message, command, action count, padding, actions) and SERVICE_FAILURE_ACTIONS_FLAG.
    System::Call '*(i ${SC_ACTION_RESTART}, i ${SERVICE_RESTART_DELAY_MS}, i ${SC_ACTION_RESTART}, \
        i ${SERVICE_RESTART_DELAY_MS}, i ${SC_ACTION_RESTART}, i ${SERVICE_RESTART_DELAY_MS}) p .r5'
    System::Call '*(i ${SERVICE_FAILURE_RESET_S}, i 0, p 0, p 0, i 3, i 0, p r5) p .r6'
    System::Call 'advapi32::ChangeServiceConfig2W(p r2, i ${SERVICE_CONFIG_FAILURE_ACTIONS}, p r6) i .r0 ? e'
    Pop $3
    System::Free $6
    System::Free $5
    ${If} $0 <> 0
      System::Call '*(i 1) p .r6'
      System::Call 'advapi32::ChangeServiceConfig2W(p r2, i ${SERVICE_CONFIG_FAILURE_ACTIONS_FLAG}, p r6) i .r0 ? e'
      Pop $3
      System::Free $6
    ${EndIf}
    ${If} $0 = 0
      DetailPrint "The service's recovery actions could not be set (error $3)"
    ${EndIf}
    StrCpy $0 1
  ${EndIf}
  ${If} $2 P<> 0
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r1)'
FunctionEnd
!macroend

; StartService: starts the service and waits until it reports running.
; $0 = 1 when it runs, 0 when it could not be started (StartServiceW's error code in $5) or did
; not get there.
!macro QUILLON_START_SERVICE UN
Function ${UN}StartService
  StrCpy $5 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p .r1'
  ${If} $1 P= 0
    StrCpy $0 0
    Return
  ${EndIf}
  Push $1
  System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE_NAME}", i ${SERVICE_START}|${SERVICE_QUERY_STATUS}) p .r1'
  StrCpy $0 0
  ${If} $1 P<> 0
    DetailPrint "Starting the service $\"${SERVICE_NAME}$\""
    System::Call 'advapi32::StartServiceW(p r1, i 0, p 0) i .r0 ? e'
    Pop $5
    ${If} $0 <> 0
    ${OrIf} $5 = ${ERROR_SERVICE_ALREADY_RUNNING}
      StrCpy $2 ${SERVICE_RUNNING}
      Call ${UN}WaitForServiceState
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
  Pop $1
  System::Call 'advapi32::CloseServiceHandle(p r1)'
FunctionEnd
!macroend

; DeleteService: marks the (stopped) service for deletion. $0 = 1 when it is gone or was never there.
!macro QUILLON_DELETE_SERVICE UN
Function ${UN}DeleteService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p .r1'
  ${If} $1 P= 0
    StrCpy $0 0
    Return
  ${EndIf}
  System::Call 'advapi32::OpenServiceW(p r1, w "${SERVICE_NAME}", i ${SERVICE_DELETE_ACCESS}) p .r2'
  StrCpy $0 1
  ${If} $2 P<> 0
    DetailPrint "Removing the service $\"${SERVICE_NAME}$\""
    System::Call 'advapi32::DeleteService(p r2) i .r0'
    System::Call 'advapi32::CloseServiceHandle(p r2)'
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r1)'
FunctionEnd
!macroend
