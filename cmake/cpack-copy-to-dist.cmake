# Run by cpack after packaging. CPack adds the members in the order the file
# system lists its staging folder, which differs between machines; the archive
# is written once more from the same staging folder with its members sorted by
# name (cmake -E tar, the same libarchive writer, taking the members' times
# from the SOURCE_DATE_EPOCH that cpack-project.cmake set). Then it joins the
# programs in dist/.
foreach(_package IN LISTS CPACK_PACKAGE_FILES)
  file(GLOB _members RELATIVE "${CPACK_TEMPORARY_DIRECTORY}" "${CPACK_TEMPORARY_DIRECTORY}/*")
  list(SORT _members)
  if(NOT _members)
    message(FATAL_ERROR "No staged files in ${CPACK_TEMPORARY_DIRECTORY}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${_package}" --format=zip -- ${_members}
    WORKING_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}" RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "Cannot write ${_package} with its members in order")
  endif()
  file(COPY "${_package}" DESTINATION "${CPACK_KELVANE_DIST_DIR}")
  get_filename_component(_name "${_package}" NAME)
  message(STATUS "Release archive: ${CPACK_KELVANE_DIST_DIR}/${_name}")
endforeach()
