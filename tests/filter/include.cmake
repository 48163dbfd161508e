# The filter tests call the trace facility and the page walk directly; their headers include the
# one kernel header.
target_link_libraries(test_filter PRIVATE vyrdpfcommon)
target_include_directories(test_filter PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/platform)
