# Authenticode signing of the shipped programs at build time, never at run
# time. Configured with KELVANE_SIGNING_PFX and KELVANE_SIGNING_PASSWORD_FILE
# (for example in a git-ignored CMakeUserPresets.json); without them nothing is
# signed and nothing else changes.
#
# Each program is signed in dist/ right after it is linked, with SHA-256, its
# name as description and a fixed signing time (cmake/source-date-epoch.cmake),
# so that signing the same program twice gives the same bytes.
#
# With KELVANE_SIGNING_TIMESTAMP_URL the signature also carries an RFC 3161
# timestamp from that server, so that it stays valid after the certificate
# expires. A timestamp is new at every signing: such programs differ between
# two builds by their signatures alone.

set(KELVANE_SIGNING OFF)
if(NOT KELVANE_SIGNING_PFX STREQUAL "" OR NOT KELVANE_SIGNING_PASSWORD_FILE STREQUAL "")
  if(KELVANE_SIGNING_PFX STREQUAL "" OR KELVANE_SIGNING_PASSWORD_FILE STREQUAL "")
    message(FATAL_ERROR "Signing needs both KELVANE_SIGNING_PFX and KELVANE_SIGNING_PASSWORD_FILE.")
  endif()
  foreach(var KELVANE_SIGNING_PFX KELVANE_SIGNING_PASSWORD_FILE)
    if(NOT IS_ABSOLUTE "${${var}}")
      message(FATAL_ERROR "${var} must be an absolute path: ${${var}}")
    endif()
    if(NOT EXISTS "${${var}}" OR IS_DIRECTORY "${${var}}")
      message(FATAL_ERROR "${var} names no file: ${${var}}")
    endif()
  endforeach()
  find_program(KELVANE_OSSLSIGNCODE osslsigncode)
  if(NOT KELVANE_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing needs osslsigncode (scripts/setup.sh installs it).")
  endif()
  # A wrong password shows now, not halfway through a build.
  find_program(KELVANE_OPENSSL openssl)
  if(KELVANE_OPENSSL)
    execute_process(COMMAND "${KELVANE_OPENSSL}" pkcs12 -in "${KELVANE_SIGNING_PFX}" -noout
        -passin "file:${KELVANE_SIGNING_PASSWORD_FILE}"
      RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE problem)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "KELVANE_SIGNING_PFX cannot be opened with the password in "
        "KELVANE_SIGNING_PASSWORD_FILE (wrong password or not a PKCS#12 file):\n${problem}")
    endif()
  endif()
  if(NOT KELVANE_SIGNING_TIMESTAMP_URL STREQUAL "" AND NOT KELVANE_SIGNING_TIMESTAMP_URL MATCHES "^https?://")
    message(FATAL_ERROR "KELVANE_SIGNING_TIMESTAMP_URL must be an http:// or https:// URL: ${KELVANE_SIGNING_TIMESTAMP_URL}")
  endif()
  set(KELVANE_SIGNING ON)
  message(STATUS "Signing the shipped programs with ${KELVANE_SIGNING_PFX}")
elseif(NOT KELVANE_SIGNING_TIMESTAMP_URL STREQUAL "")
  message(FATAL_ERROR "KELVANE_SIGNING_TIMESTAMP_URL needs signing: set KELVANE_SIGNING_PFX and KELVANE_SIGNING_PASSWORD_FILE.")
endif()

# Signs target's file in place right after linking. A signing that fails (a
# timestamp server that cannot be reached, too) removes the unsigned file, so
# that dist/ never holds an unsigned program in a signed build, and fails the
# build.
function(kelvane_sign target)
  if(NOT KELVANE_SIGNING)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}"
      "-DPROGRAM=$<TARGET_FILE:${target}>"
      "-DDESCRIPTION=${target}"
      "-DPFX=${KELVANE_SIGNING_PFX}"
      "-DPASSWORD_FILE=${KELVANE_SIGNING_PASSWORD_FILE}"
      "-DOSSLSIGNCODE=${KELVANE_OSSLSIGNCODE}"
      "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "-DTIMESTAMP_URL=${KELVANE_SIGNING_TIMESTAMP_URL}"
      -P "${PROJECT_SOURCE_DIR}/cmake/sign.cmake"
    VERBATIM)
  # A new certificate or password signs the programs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
    "${KELVANE_SIGNING_PFX}" "${KELVANE_SIGNING_PASSWORD_FILE}")
endfunction()
