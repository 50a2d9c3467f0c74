# Windows x64 (mingw-w64 cross build, see cmake/toolchain-mingw-w64-x86_64.cmake): the programs with their
# resources. The service and the tray are GUI-subsystem programs (the service has no console, the tray has
# windows); QuillonDiag is a console program.
enable_language(RC)
include(${CMAKE_SOURCE_DIR}/cmake/signing.cmake)

# Runtimes linked in, so each .exe runs on its own (also set by the toolchain file; kept here for builds
# that use another mingw-w64 toolchain file).
add_link_options(-static -static-libgcc -static-libstdc++)

# GCC cannot align a Win64 stack frame beyond 16 bytes, yet moves 32- and 64-byte vectors it spills there
# with aligned instructions (GCC bug 54412): a spill in an AVX2 or AVX-512 kernel would fault on a real PC
# half the time. The assembler writes every aligned vector move as its unaligned form, which costs nothing
# on an aligned address.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wa,-muse-unaligned-vector-move>)

# windres gets the same include path as the compiler (the source root and generated/ with
# quillon_version.h) from include_directories(); the warning options are for the compilers only.
set(QUILLON_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set_property(SOURCE Service/Quillon/res/QuillonVADService.rc Service/QuillonSystray/res/QuillonSystray.rc
             APPEND PROPERTY OBJECT_DEPENDS ${QUILLON_GENERATED_DIR}/quillon_version.h)

# The service: narrow WinMain, GUI subsystem (-mwindows through WIN32). The service resolves the Kernel
# Streaming pin calls (ksuser.dll) at run time with LoadLibrary/GetProcAddress; an import library that no
# code references adds no import, so listing ksuser and avrt costs nothing either way.

add_executable(QuillonVADService WIN32 ${QUILLON_COMMON_SOURCES} ${QUILLON_SERVICE_SOURCES}
               Service/Quillon/res/QuillonVADService.rc)
set_property(SOURCE Service/Quillon/res/QuillonVADService.rc APPEND PROPERTY OBJECT_DEPENDS
             ${CMAKE_SOURCE_DIR}/Service/Quillon/res/QuillonVADService.manifest)
target_link_libraries(QuillonVADService PRIVATE advapi32 setupapi avrt ole32 oleaut32 uuid winmm hid ksuser version
                      user32)
quillon_sign(QuillonVADService "Quillon Virtual Device Driver service")

# The tray program: Unicode entry wWinMain (-municode for this target only), GUI subsystem. Added once
# its sources exist.
if(QUILLON_TRAY_SOURCES)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(QUILLON_TRAY_ICON ${QUILLON_GENERATED_DIR}/QuillonSystray.ico)
  add_custom_command(
    OUTPUT ${QUILLON_TRAY_ICON}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/icon/make_icon.py ${QUILLON_TRAY_ICON}
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/icon/make_icon.py
    COMMENT "Drawing the tray icon"
    VERBATIM)
  set_property(SOURCE Service/QuillonSystray/res/QuillonSystray.rc APPEND PROPERTY OBJECT_DEPENDS
               ${QUILLON_TRAY_ICON} ${CMAKE_SOURCE_DIR}/Service/QuillonSystray/res/resource.h
               ${CMAKE_SOURCE_DIR}/Service/QuillonSystray/res/QuillonSystray.manifest)

  add_executable(QuillonSystray WIN32 ${QUILLON_COMMON_SOURCES} ${QUILLON_TRAY_SOURCES}
                 Service/QuillonSystray/res/QuillonSystray.rc ${QUILLON_TRAY_ICON})
  target_compile_options(QuillonSystray PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-municode>)
  target_link_options(QuillonSystray PRIVATE -municode)
  target_link_libraries(QuillonSystray PRIVATE user32 shell32 comctl32 advapi32 ole32 uuid)
  quillon_sign(QuillonSystray "Quillon Virtual Device Driver notification area")
endif()

# The diagnostics view: a console program (no WIN32), reading the service's diagnostics block.
file(GLOB QUILLON_DIAG_SOURCES CONFIGURE_DEPENDS Service/QuillonDiag/*.cpp)
set_property(SOURCE Service/QuillonDiag/res/QuillonDiag.rc APPEND PROPERTY OBJECT_DEPENDS
             ${QUILLON_GENERATED_DIR}/quillon_version.h ${CMAKE_SOURCE_DIR}/Service/QuillonDiag/res/QuillonDiag.manifest)
add_executable(QuillonDiag ${QUILLON_COMMON_SOURCES} ${QUILLON_DIAG_SOURCES} Service/QuillonDiag/res/QuillonDiag.rc)
target_link_libraries(QuillonDiag PRIVATE advapi32)
quillon_sign(QuillonDiag "Quillon Virtual Device Driver diagnostics")

# Helpers of the Wine smoke tests (tests/wine/*.cpp): small console programs that look at the running
# programs from inside the Wine prefix.
file(GLOB QUILLON_WINE_HELPERS CONFIGURE_DEPENDS tests/wine/*.cpp)
foreach(helper ${QUILLON_WINE_HELPERS})
  get_filename_component(helper_name ${helper} NAME_WE)
  add_executable(${helper_name} ${helper})
  target_link_libraries(${helper_name} PRIVATE user32 shell32 advapi32)
endforeach()

# The conformance suite as a console program (tests/wine/conformance.sh runs it under Wine).
file(GLOB QUILLON_CONFORMANCE_SOURCES CONFIGURE_DEPENDS tests/conformance/*.cpp)
if(QUILLON_CONFORMANCE_SOURCES)
  add_executable(quillon_conformance ${QUILLON_CONFORMANCE_SOURCES} tests/conformance/runner/win_main.cpp
                 tests/conformance/runner/service_program.cpp)
  target_link_libraries(quillon_conformance PRIVATE user32 advapi32 winmm)
endif()

# The installer of both programs (installer/installer.cmake).
include(${CMAKE_SOURCE_DIR}/installer/installer.cmake)
