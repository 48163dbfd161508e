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
# vyrsim with the first of two key servers down: the write meets the drive's key request, the
# relay finds the first server's port refusing and goes through the second, the write is sent
# again and succeeds; the probe counts one answering server.
add_test(NAME keyserver.vyrsim_first_server_down COMMAND vyrsim --drives 1 --keyservers 2 --keyserver-down 1
  --encrypted Tape0 --blocks 4 boot write Tape0 keyreq Tape0 1 events)
set_tests_properties(keyserver.vyrsim_first_server_down PROPERTIES LABELS keyserver
  PASS_REGULAR_EXPRESSION "encrypted Tape0: key-managed drive: 0x00000000 [^\n]*\nwrite Tape0: 4 blocks, 262144 bytes: 0x00000000 \\(STATUS_SUCCESS\\)\n  key server 1 \\(127\\.0\\.0\\.1:[0-9]+\\): down, connections refused\n  key server 2 [^\n]*: 1 connection\\(s\\), 0 probe\\(s\\), 1 drive message\\(s\\), 2 command\\(s\\), 1 exchange\\(s\\) ended\n    last drive message: 149 bytes, key request 1 \\(a read or write refused for want of a key, 7/EF/01\\)\nkeyreq Tape0 1: 0x00000000 \\(STATUS_SUCCESS\\)\n  type 1, status 0x00000000, value 1 \\(0x00000001\\).*shutdown: all devices removed, all drivers unloaded, verifier found no leaks")
