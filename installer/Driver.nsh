; The virtual audio driver, which this setup does not install: whether its root-enumerated device is
; there. A macro taking the prefix "" (installer) or "un." (uninstaller).

!include LogicLib.nsh

!define /ifndef DIGCF_PRESENT     0x00000002
!define /ifndef DIGCF_ALLCLASSES  0x00000004
!define /ifndef SPDRP_HARDWAREID  0x00000001
!define /ifndef INVALID_HANDLE_VALUE -1

; DriverPresent: $0 = 1 when a present device lists DRIVER_HARDWARE_ID among its hardware ids (compared
; as Windows compares them, ignoring case), else 0. Walks every present device with SetupAPI; the first
; id of the list is the one a root-enumerated device is created with. Clobbers $1-$5.
!macro QUILLON_DRIVER_PRESENT UN
Function ${UN}DriverPresent
  StrCpy $0 0
  System::Call 'setupapi::SetupDiGetClassDevsW(p 0, p 0, p 0, i ${DIGCF_PRESENT}|${DIGCF_ALLCLASSES}) p .r1'
  ${If} $1 P= ${INVALID_HANDLE_VALUE}
    Return
  ${EndIf}
  ; SP_DEVINFO_DATA (32 bytes, cbSize first) and a buffer for the hardware ids.
  System::Call '*(i 32, &l28) p .r2'
  System::Alloc 2048
  Pop $3
  StrCpy $4 0
  ${Do}
    System::Call 'setupapi::SetupDiEnumDeviceInfo(p r1, i r4, p r2) i .r5'
    ${If} $5 = 0
      ${Break}
    ${EndIf}
    System::Call 'setupapi::SetupDiGetDeviceRegistryPropertyW(p r1, p r2, i ${SPDRP_HARDWAREID}, p 0, p r3, i 2046, p 0) i .r5'
    ${If} $5 <> 0
      System::Call '*$3(&w1024 .r5)'
      ${If} $5 == "${DRIVER_HARDWARE_ID}"
        StrCpy $0 1
        ${Break}
      ${EndIf}
    ${EndIf}
    IntOp $4 $4 + 1
  ${Loop}
  System::Free $3
  System::Free $2
  System::Call 'setupapi::SetupDiDestroyDeviceInfoList(p r1)'
FunctionEnd
!macroend
