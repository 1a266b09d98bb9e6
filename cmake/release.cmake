# The release archive, dist/Kelvane-<version>-win64.zip, made by every build
# (cmake --workflow --preset release: configure and build). It holds the kit a
# factory receives: the two programs as in dist/ (signed when signing is
# configured), the log reader as one file, kelvane-log.pyz (cmake/make-pyz.py),
# README.txt, and SHA256SUMS over those four. The same five files are what cmake --install installs.

# The receiver's page, with the version filled in; CR LF for Notepad.
configure_file("${PROJECT_SOURCE_DIR}/docs/release-readme.txt.in" "${PROJECT_BINARY_DIR}/release/README.txt"
  @ONLY NEWLINE_STYLE CRLF)

# The log reader's sources: the entry script and its package.
find_program(KELVANE_PYTHON3 python3 REQUIRED)
file(GLOB_RECURSE _log_reader_sources CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/tools/kelvane_log/*.py")
list(APPEND _log_reader_sources "${PROJECT_SOURCE_DIR}/tools/kelvane-log")

set(_kit_dir "${PROJECT_BINARY_DIR}/release/kit")
set(_archive "${KELVANE_DIST_DIR}/Kelvane-${PROJECT_VERSION}-win64.zip")
add_custom_command(OUTPUT "${_archive}"
  COMMAND "${CMAKE_COMMAND}"
    "-DKELVANE=$<TARGET_FILE:Kelvane>"
    "-DQUINTAR=$<TARGET_FILE:QUINTAR>"
    "-DREADME=${PROJECT_BINARY_DIR}/release/README.txt"
    "-DTOOLS_DIR=${PROJECT_SOURCE_DIR}/tools"
    "-DPYTHON=${KELVANE_PYTHON3}"
    "-DKIT_DIR=${_kit_dir}"
    "-DARCHIVE=${_archive}"
    "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "-DVERSION=${PROJECT_VERSION}"
    -P "${PROJECT_SOURCE_DIR}/cmake/release-archive.cmake"
  DEPENDS Kelvane QUINTAR "${PROJECT_BINARY_DIR}/release/README.txt" ${_log_reader_sources}
    "${PROJECT_SOURCE_DIR}/cmake/make-pyz.py" "${PROJECT_SOURCE_DIR}/cmake/release-archive.cmake" "${PROJECT_SOURCE_DIR}/cmake/source-date-epoch.cmake"
  COMMENT "Release archive: ${_archive}"
  VERBATIM)
add_custom_target(release_archive ALL DEPENDS "${_archive}")

install(DIRECTORY "${_kit_dir}/" DESTINATION . USE_SOURCE_PERMISSIONS)
