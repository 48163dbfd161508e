# The changer tests see the wire records of the changer family and the stand-in's shared record.
target_include_directories(test_changer PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/inc ${PROJECT_SOURCE_DIR}/src/drv/platform
  ${CMAKE_CURRENT_LIST_DIR}/drivers)
