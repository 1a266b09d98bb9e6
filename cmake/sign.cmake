# Signs one program in place (cmake -P; see signing.cmake):
#   -DPROGRAM= -DDESCRIPTION= -DPFX= -DPASSWORD_FILE= -DOSSLSIGNCODE= -DSOURCE_DIR=
include("${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake")
kelvane_source_date_epoch(epoch "${SOURCE_DIR}")

set(signed "${PROGRAM}.signed")
file(REMOVE "${signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PFX}" -readpass "${PASSWORD_FILE}"
    -h sha256 -n "${DESCRIPTION}" -time "${epoch}" -in "${PROGRAM}" -out "${signed}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT EXISTS "${signed}")
  file(REMOVE "${signed}" "${PROGRAM}")
  message(FATAL_ERROR "Signing ${PROGRAM} failed; the unsigned program is removed.\n${output}")
endif()
file(RENAME "${signed}" "${PROGRAM}")
