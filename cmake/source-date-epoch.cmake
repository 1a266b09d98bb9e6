# The time a build writes into what it makes (the signing time, the release
# archive's member times): SOURCE_DATE_EPOCH when it is set, else the time of
# the commit the source tree is checked out at, else a fixed time. Two builds
# of the same sources so agree without anyone setting anything.
function(kelvane_source_date_epoch out source_dir)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch "")
    find_program(KELVANE_GIT git)
    if(KELVANE_GIT)
      # Only the source tree's own repository counts, not one it sits in.
      execute_process(COMMAND "${KELVANE_GIT}" -C "${source_dir}" rev-parse --show-toplevel
        OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
      file(REAL_PATH "${source_dir}" source_real)
      if(status EQUAL 0 AND NOT toplevel STREQUAL "")
        file(REAL_PATH "${toplevel}" toplevel)
      endif()
      if(status EQUAL 0 AND toplevel STREQUAL source_real)
        execute_process(COMMAND "${KELVANE_GIT}" -C "${source_dir}" log -1 --format=%ct
          OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      endif()
    endif()
    if(NOT epoch MATCHES "^[0-9]+$")
      # 1980-01-01 00:00:00 UTC, the earliest time a ZIP member can carry.
      set(epoch 315532800)
    endif()
  endif()
  set(${out} "${epoch}" PARENT_SCOPE)
endfunction()
