# The bus tests look at the bus FDO's extension: they see the driver's own headers.
target_include_directories(test_bus PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus ${PROJECT_SOURCE_DIR}/src/drv/inc
  ${PROJECT_SOURCE_DIR}/src/drv/platform ${CMAKE_BINARY_DIR}/src/drv/bus/vyrtpbs2k16_gen)
add_dependencies(test_bus vyrtpbs2k16)
# The sorted list and the StatusStructTable are tested directly as well.
target_link_libraries(test_bus PRIVATE vyrbuslogic)
