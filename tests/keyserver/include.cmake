# The keyserver tests call the configuration parser, the loader and the socket layer directly.
target_link_libraries(test_keyserver PRIVATE vyrkeyserver)
target_include_directories(test_keyserver PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver
  ${PROJECT_SOURCE_DIR}/src/drv/inc ${PROJECT_SOURCE_DIR}/src/drv/platform)
# The test driver that carries the socket layer into a driver image of its own.
target_sources(ks_socketdrv PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver/keyconfig.cpp
  ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver/keyfile.cpp ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver/keysocket.cpp)
target_include_directories(ks_socketdrv PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver)
# The fuzz targets (libFuzzer): only with clang and -DVYR_FUZZ=ON.
if(VYR_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_executable(fuzz_keyconfig ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_keyconfig.cpp
    ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver/keyconfig.cpp)
  target_compile_options(fuzz_keyconfig PRIVATE -fsanitize=fuzzer,address,undefined -fshort-wchar)
  target_link_options(fuzz_keyconfig PRIVATE -fsanitize=fuzzer,address,undefined)
  target_include_directories(fuzz_keyconfig PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver
    ${PROJECT_SOURCE_DIR}/src/drv/inc ${PROJECT_SOURCE_DIR}/src/drv/platform
    ${PROJECT_SOURCE_DIR}/src/drv/platform/host/include)
  # The server messages as the relay reads them.
  add_executable(fuzz_keymessage ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_keymessage.cpp
    ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver/keymessage.cpp)
  target_compile_options(fuzz_keymessage PRIVATE -fsanitize=fuzzer,address,undefined -fshort-wchar)
  target_link_options(fuzz_keymessage PRIVATE -fsanitize=fuzzer,address,undefined)
  target_include_directories(fuzz_keymessage PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus/keyserver
    ${PROJECT_SOURCE_DIR}/src/drv/inc ${PROJECT_SOURCE_DIR}/src/drv/platform
    ${PROJECT_SOURCE_DIR}/src/drv/platform/host/include)
endif()
# The relay end to end: the whole tape stack (the bus's own headers) and the key server stand-in.
target_include_directories(test_keyserver PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/bus ${PROJECT_SOURCE_DIR}/tests/bus
  ${CMAKE_BINARY_DIR}/src/drv/bus/vyrtpbs2k16_gen)
add_dependencies(test_keyserver vyrtpbs2k16)
target_link_libraries(test_keyserver PRIVATE vyrkeysim_lib)
