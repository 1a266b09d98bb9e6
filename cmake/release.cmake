# The release archive: cmake --build --preset release --target package (or
# cmake --workflow --preset release) writes dist/Kelvane-<version>-win64.zip
# holding the two programs as installed (signed when signing is configured),
# SHA256SUMS in the format of sha256sum, and README.txt.

# The receiver's page, with the version filled in; CR LF for Notepad.
configure_file("${PROJECT_SOURCE_DIR}/docs/release-readme.txt.in" "${PROJECT_BINARY_DIR}/release/README.txt"
  @ONLY NEWLINE_STYLE CRLF)
install(FILES "${PROJECT_BINARY_DIR}/release/README.txt" DESTINATION .)

# The hashes of the programs as installed, after the programs' own install rules.
install(CODE [[
  set(_release_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(_sums "")
  foreach(_program IN ITEMS Kelvane.exe QUINTAR.exe)
    file(SHA256 "${_release_dir}/${_program}" _hash)
    string(APPEND _sums "${_hash}  ${_program}\n")
  endforeach()
  file(WRITE "${_release_dir}/SHA256SUMS" "${_sums}")
]])

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Kelvane)
set(CPACK_PACKAGE_VENDOR Brevik)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "Kelvane-${PROJECT_VERSION}-win64")
# The four files at the archive's top, as a deployment share wants them.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
# Read by cpack itself: it fixes the members' times (cpack takes them from
# SOURCE_DATE_EPOCH) and copies the archive into dist/ when it is made.
set(CPACK_KELVANE_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_KELVANE_DIST_DIR "${KELVANE_DIST_DIR}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/cpack-project.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/cpack-copy-to-dist.cmake")
include(CPack)
