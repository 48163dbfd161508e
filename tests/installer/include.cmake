# The installer tests run the library's host face on the simulated machine, with the packages of
# packaging/drivers and the host images of the drivers.
target_link_libraries(test_installer PRIVATE vyrinstaller)
target_compile_definitions(test_installer PRIVATE VYR_PACKAGE_DIR="${PROJECT_SOURCE_DIR}/packaging/drivers")
# The front ends, run as programs.
add_test(NAME installer.frontends COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/frontends.sh ${CMAKE_BINARY_DIR}/bin
  ${PROJECT_SOURCE_DIR}/packaging/drivers ${VYR_DRIVER_OUTPUT_DIR})
set_tests_properties(installer.frontends PROPERTIES LABELS installer TIMEOUT 120)
add_dependencies(test_installer setup_locked setup_shared uninst)
