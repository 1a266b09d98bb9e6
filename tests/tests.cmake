# The provisioning run's tests.
set(_p ${CMAKE_CURRENT_SOURCE_DIR}/provision)

# In-process tests of the units, with the system-call seam.
kelvane_wine_test(provision_unit_test
  ${_p}/run_log_test.cpp ${_p}/wmi_query_test.cpp ${_p}/stage_seam_test.cpp)
target_link_libraries(provision_unit_test PRIVATE provision_seamed)
target_include_directories(provision_unit_test PRIVATE ${_p})

# The real Kelvane.exe, end to end.
kelvane_wine_test(kelvane_e2e_test
  ${_p}/e2e.cpp ${_p}/kelvane_run_test.cpp ${_p}/kelvane_faults_test.cpp ${_p}/kelvane_stress_test.cpp)
target_include_directories(kelvane_e2e_test PRIVATE ${_p})

# What a run writes to the registry survives a restart of the machine.
add_executable(registry_restart_test ${_p}/e2e.cpp ${_p}/registry_restart_test.cpp)
target_link_libraries(registry_restart_test PRIVATE gtest_main kelvane_test_support)
target_include_directories(registry_restart_test PRIVATE ${_p})
add_dependencies(registry_restart_test Kelvane QUINTAR fake_wmi)
add_test(NAME registry_restart_test
  COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/wine/restart-test.sh" "${KELVANE_WINE_PREFIX}" $<TARGET_FILE:registry_restart_test>)
set_tests_properties(registry_restart_test PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine_machine TIMEOUT 300)

# The Run log reader (tools/kelvane-log), on the Run logs the end-to-end tests
# keep in the work folder: it runs after them, and only with them.
find_program(KELVANE_PYTHON3 python3 REQUIRED)
set_property(TEST kelvane_e2e_test APPEND PROPERTY FIXTURES_SETUP run_logs)
add_test(NAME kelvane_log_reader_test
  COMMAND "${KELVANE_PYTHON3}" "${PROJECT_SOURCE_DIR}/tests/tools/test_kelvane_log.py")
set_tests_properties(kelvane_log_reader_test PROPERTIES
  FIXTURES_REQUIRED run_logs
  ENVIRONMENT "KELVANE_RUN_LOGS=${PROJECT_BINARY_DIR}/tests/work/run-logs"
  LABELS tools TIMEOUT 300)
