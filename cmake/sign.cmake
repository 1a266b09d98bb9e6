# Signs one program in place (cmake -P; see signing.cmake):
#   -DPROGRAM= -DDESCRIPTION= -DPFX= -DPASSWORD_FILE= -DOSSLSIGNCODE= -DSOURCE_DIR=
#   [-DTIMESTAMP_URL=]                  an RFC 3161 timestamp from that server
#   [-DTSA_CERTS= -DTSA_KEY= -DTSA_TIME=] or from a time-stamping authority of
#                                       one's own, at a given time (the tests')
include("${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake")
kelvane_source_date_epoch(epoch "${SOURCE_DIR}")

set(timestamp "")
set(timestamp_note "")
if(NOT "${TIMESTAMP_URL}" STREQUAL "")
  set(timestamp -ts "${TIMESTAMP_URL}")
  set(timestamp_note " (timestamp server ${TIMESTAMP_URL})")
elseif(NOT "${TSA_CERTS}" STREQUAL "")
  set(timestamp -TSA-certs "${TSA_CERTS}" -TSA-key "${TSA_KEY}" -TSA-time "${TSA_TIME}")
endif()

set(signed "${PROGRAM}.signed")
file(REMOVE "${signed}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PFX}" -readpass "${PASSWORD_FILE}"
    -h sha256 -n "${DESCRIPTION}" -time "${epoch}" ${timestamp} -in "${PROGRAM}" -out "${signed}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0 OR NOT EXISTS "${signed}")
  file(REMOVE "${signed}" "${PROGRAM}")
  message(FATAL_ERROR "Signing ${PROGRAM}${timestamp_note} failed; the unsigned program is removed.\n${output}")
endif()
file(RENAME "${signed}" "${PROGRAM}")
