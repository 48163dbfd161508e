# The filter tests call the trace facility and the page walk directly; their headers include the
# one kernel header.
target_link_libraries(test_filter PRIVATE vyrdpfcommon)
target_include_directories(test_filter PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/platform)
# The path filter tests look at the filter's device extension and share records with their test
# drivers (drivers/flt_test_abi.h).
target_include_directories(test_filter PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/inc ${PROJECT_SOURCE_DIR}/src/drv/dpf/filter/src
  ${PROJECT_SOURCE_DIR}/src/drv/dpf/common/src ${CMAKE_CURRENT_LIST_DIR}/drivers)
add_dependencies(test_filter vyrtpft2k16)
