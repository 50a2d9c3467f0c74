# The Windows installer, QuillonSetup-<version>.exe, made with NSIS's makensis from the three cross-built
# programs (included by cmake/windows.cmake). The version is the project's, the icon the tray's build-time
# icon, so the installer and the programs always agree. Without makensis (Debian package nsis) the
# programs still build; the installer is left out with a note.
find_program(QUILLON_MAKENSIS makensis)
if(NOT QUILLON_MAKENSIS)
  message(STATUS "makensis not found (Debian package nsis): QuillonSetup is not built")
elseif(NOT TARGET QuillonSystray)
  message(STATUS "No tray program yet: QuillonSetup is not built")
else()
  # VIProductVersion needs all four numbers.
  set(quillon_setup_version_parts)
  foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
      list(APPEND quillon_setup_version_parts 0)
    else()
      list(APPEND quillon_setup_version_parts ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  list(JOIN quillon_setup_version_parts . QUILLON_SETUP_VERSION)
  list(GET quillon_setup_version_parts 0 quillon_setup_major)
  list(GET quillon_setup_version_parts 1 quillon_setup_minor)

  # Signing (cmake/signing.cmake): makensis runs the signing script on the uninstaller before it packs
  # it, and on the installer once written.
  set(quillon_setup_signing)
  set(quillon_setup_signing_depends)
  if(QUILLON_SIGN_COMMAND)
    set(quillon_setup_signing -DSIGN_CMAKE=${CMAKE_COMMAND} -DSIGN_SCRIPT=${CMAKE_SOURCE_DIR}/cmake/sign.cmake
        -DSIGN_TOOL=${QUILLON_OSSLSIGNCODE} -DSIGN_TEST_PFX=${QUILLON_SIGN_TEST_PFX})
    set(quillon_setup_signing_depends ${QUILLON_SIGN_TEST_PFX} ${CMAKE_SOURCE_DIR}/cmake/sign.cmake)
  endif()

  set(QUILLON_SETUP ${CMAKE_BINARY_DIR}/QuillonSetup-${PROJECT_VERSION}.exe)
  set(quillon_setup_script ${CMAKE_SOURCE_DIR}/installer/Quillon.nsi)
  add_custom_command(
    OUTPUT ${QUILLON_SETUP}
    COMMAND ${QUILLON_MAKENSIS} -V2 -WX -INPUTCHARSET UTF8
            -DVERSION=${QUILLON_SETUP_VERSION} -DVERSION_MAJOR=${quillon_setup_major}
            -DVERSION_MINOR=${quillon_setup_minor}
            -DPROGRAM_DIR=$<TARGET_FILE_DIR:QuillonVADService> -DICON=${QUILLON_TRAY_ICON}
            -DOUTFILE=${QUILLON_SETUP} ${quillon_setup_signing} ${quillon_setup_script}
    DEPENDS ${quillon_setup_script} ${CMAKE_SOURCE_DIR}/installer/Service.nsh ${CMAKE_SOURCE_DIR}/installer/Driver.nsh
            ${CMAKE_SOURCE_DIR}/installer/Tray.nsh QuillonVADService QuillonSystray QuillonDiag ${QUILLON_TRAY_ICON}
            ${quillon_setup_signing_depends}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/installer
    COMMENT "Making the installer QuillonSetup-${PROJECT_VERSION}.exe"
    VERBATIM)
  add_custom_target(QuillonSetup ALL DEPENDS ${QUILLON_SETUP})
endif()
