# Authenticode signing of the Windows build (included by cmake/windows.cmake): both programs after each
# link, and the installer and its uninstaller as makensis writes them (installer/installer.cmake). See
# cmake/sign.cmake for where the certificate comes from. Without osslsigncode (Debian package osslsigncode)
# the programs are left unsigned, with a note.
find_program(QUILLON_OSSLSIGNCODE osslsigncode)
find_program(QUILLON_OPENSSL openssl)
set(QUILLON_SIGN_TEST_PFX ${CMAKE_BINARY_DIR}/signing/quillon-test-signing.pfx)
set(QUILLON_SIGN_TEST_CERT ${CMAKE_BINARY_DIR}/signing/quillon-test-signing.pem)

if(NOT QUILLON_OSSLSIGNCODE OR NOT QUILLON_OPENSSL)
  message(STATUS "osslsigncode or openssl not found: the programs and the installer are not signed")
  set(QUILLON_SIGN_COMMAND "")
else()
  # The throw-away test certificate: self-signed, for code signing, made once per build folder. It is
  # what the Wine checks verify against (its certificate is kept beside it as PEM).
  set(key ${CMAKE_BINARY_DIR}/signing/quillon-test-signing.key)
  add_custom_command(
    OUTPUT ${QUILLON_SIGN_TEST_PFX} ${QUILLON_SIGN_TEST_CERT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/signing
    COMMAND ${QUILLON_OPENSSL} genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out ${key}
    COMMAND ${QUILLON_OPENSSL} req -x509 -key ${key} -sha256 -days 30
            -out ${QUILLON_SIGN_TEST_CERT} -subj "/O=Quillon test build/CN=Quillon test signing (not trusted)"
            -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature,keyCertSign"
    COMMAND ${QUILLON_OPENSSL} pkcs12 -export -inkey ${key} -in ${QUILLON_SIGN_TEST_CERT}
            -out ${QUILLON_SIGN_TEST_PFX} -passout pass:quillon-test
    COMMAND ${CMAKE_COMMAND} -E remove ${key}
    COMMENT "Making the throw-away test signing certificate"
    VERBATIM)
  add_custom_target(QuillonTestCertificate DEPENDS ${QUILLON_SIGN_TEST_PFX})
  set(QUILLON_SIGN_COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${QUILLON_OSSLSIGNCODE}
                           -DTEST_PFX=${QUILLON_SIGN_TEST_PFX} -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake)
endif()

# quillon_sign(TARGET DESCRIPTION): signs the target's program after each link.
function(quillon_sign target description)
  if(QUILLON_SIGN_COMMAND)
    add_dependencies(${target} QuillonTestCertificate)
    # A new certificate relinks, and so re-signs, the program.
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${QUILLON_SIGN_TEST_PFX})
    add_custom_command(TARGET ${target} POST_BUILD
                       COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> "-DDESCRIPTION=${description}"
                               -DOSSLSIGNCODE=${QUILLON_OSSLSIGNCODE} -DTEST_PFX=${QUILLON_SIGN_TEST_PFX}
                               -P ${CMAKE_SOURCE_DIR}/cmake/sign.cmake
                       COMMENT "Signing $<TARGET_FILE_NAME:${target}>"
                       VERBATIM)
  endif()
endfunction()
