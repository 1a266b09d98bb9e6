# Writes the release archive (cmake -P; see release.cmake):
#   -DKELVANE= -DQUINTAR= -DREADME= -DTOOLS_DIR= -DPYTHON= -DKIT_DIR= -DARCHIVE= -DSOURCE_DIR= -DVERSION=
# The kit folder gets the five files with fixed permissions, whatever the
# builder's umask; the archive is written from it with its members sorted by
# name and their times fixed, so that two builds of the same sources give the
# same bytes.
include("${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake")

set(_runnable OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(_readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(REMOVE_RECURSE "${KIT_DIR}")
file(COPY "${KELVANE}" "${QUINTAR}" DESTINATION "${KIT_DIR}" FILE_PERMISSIONS ${_runnable})
file(COPY "${README}" DESTINATION "${KIT_DIR}" FILE_PERMISSIONS ${_readable})
# The log reader as one file, its members dated as the archive's, with the
# project's version for --version.
kelvane_source_date_epoch(epoch "${SOURCE_DIR}")
execute_process(COMMAND "${PYTHON}" "${SOURCE_DIR}/cmake/make-pyz.py" "${TOOLS_DIR}" "${KIT_DIR}/kelvane-log.pyz" "${epoch}" "${VERSION}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Cannot write kelvane-log.pyz")
endif()

# SHA256SUMS in the format of sha256sum, over the other four members.
set(members Kelvane.exe QUINTAR.exe README.txt kelvane-log.pyz)
set(sums "")
foreach(member IN LISTS members)
  if(NOT EXISTS "${KIT_DIR}/${member}")
    message(FATAL_ERROR "The release kit lacks ${member}")
  endif()
  file(SHA256 "${KIT_DIR}/${member}" hash)
  string(APPEND sums "${hash}  ${member}\n")
endforeach()
file(WRITE "${KIT_DIR}/SHA256SUMS" "${sums}")
file(CHMOD "${KIT_DIR}/SHA256SUMS" PERMISSIONS ${_readable})
list(APPEND members SHA256SUMS)
list(SORT members)

# cmake -E tar takes the members' times from SOURCE_DATE_EPOCH. A ZIP member's
# DOS time is a local time: the archive is made in UTC so that the builder's
# time zone does not show.
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
set(ENV{TZ} UTC)
file(REMOVE "${ARCHIVE}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${ARCHIVE}" --format=zip -- ${members}
  WORKING_DIRECTORY "${KIT_DIR}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${ARCHIVE}")
  message(FATAL_ERROR "Cannot write the release archive ${ARCHIVE}")
endif()
