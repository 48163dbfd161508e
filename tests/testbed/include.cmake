# The testbed tests drive the tape drive model directly through its routines (kernel.h face).
target_link_libraries(test_testbed PRIVATE vyrtapemodel)
target_include_directories(test_testbed PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/platform)
target_include_directories(fab_probe PRIVATE ${PROJECT_SOURCE_DIR}/sim/inc)
# The changer tests drive the medium changer model directly as well.
target_link_libraries(test_testbed PRIVATE vyrchangermodel)
