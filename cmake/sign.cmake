# Signs one Windows program in place with Authenticode (osslsigncode, SHA-256):
#
#   cmake -DFILE=<exe> -DOSSLSIGNCODE=<path> -DTEST_PFX=<pfx> -DDESCRIPTION=<text> -P cmake/sign.cmake
#
# The certificate comes from the environment when QUILLON_SIGN_PFX is set (a PKCS#12 file, its password in
# QUILLON_SIGN_PASSWORD), else it is TEST_PFX, the build's own throw-away test certificate (password
# "quillon-test"), so every build goes through the same signing. QUILLON_SIGN_TIMESTAMP (an RFC 3161
# time-stamping server's URL) adds a time stamp. Run at build time: the environment is the build's.
foreach(required FILE OSSLSIGNCODE TEST_PFX)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "sign.cmake needs -D${required}=...")
  endif()
endforeach()

if(NOT "$ENV{QUILLON_SIGN_PFX}" STREQUAL "")
  set(pfx "$ENV{QUILLON_SIGN_PFX}")
  set(password "$ENV{QUILLON_SIGN_PASSWORD}")
else()
  set(pfx "${TEST_PFX}")
  set(password "quillon-test")
endif()
if(NOT EXISTS "${pfx}")
  message(FATAL_ERROR "signing certificate ${pfx} not found")
endif()

set(arguments sign -pkcs12 "${pfx}" -pass "${password}" -h sha256 -n "${DESCRIPTION}")
if(NOT "$ENV{QUILLON_SIGN_TIMESTAMP}" STREQUAL "")
  list(APPEND arguments -ts "$ENV{QUILLON_SIGN_TIMESTAMP}")
endif()
set(signed "${FILE}.signed")
file(REMOVE "${signed}")
execute_process(COMMAND "${OSSLSIGNCODE}" ${arguments} -in "${FILE}" -out "${signed}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "signing ${FILE} failed:\n${output}")
endif()
file(RENAME "${signed}" "${FILE}")
