# Building driver images from one source for both faces.
#
#   vyr_driver(<name> SOURCES ... [DEFINITIONS ...] [MESSAGES <file.mc>] [DESCRIPTION <text>] [TEST])
#
# Host face: a shared object named <name>.sys in ${VYR_DRIVER_OUTPUT_DIR}, linked against the host
# kernel (libvyrntos) and the driver-side C runtime (vyrcrt), with its own globals (DESIGN.md 2).
# Windows face: a native PE32+ image <name>.sys with entry DriverEntry, importing ntoskrnl.exe and
# hal.dll only, carrying its message table and version resource.
#
# The message source (.mc) is compiled with windmc for both faces: the Windows image carries the
# table as resource type 11, name 1, language 1033; the host image embeds the same bytes and the
# host kernel's event log renders entries from them. The generated header gives the event ids.

find_program(VYR_WINDMC_EXE NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
if(VYR_WINDOWS)
  find_path(VYR_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk include/ddk REQUIRED)
  # CMake's default Windows libraries (kernel32, user32, gdi32, ...) would let a driver link
  # against a user-mode function and fail only at load time; without them such a call is a link
  # error. Programs still get kernel32 and the C runtime from the compiler driver's own defaults.
  set(CMAKE_C_STANDARD_LIBRARIES "")
  set(CMAKE_CXX_STANDARD_LIBRARIES "")
endif()

set(VYR_DRIVER_COMPILE_OPTIONS -fno-exceptions -fno-rtti -fno-threadsafe-statics -Wall -Wextra
    -Wno-unused-parameter -Wno-missing-field-initializers)
if(NOT VYR_WINDOWS)
  # Drivers see 16-bit wide characters as on Windows; no unique symbols so that an image really
  # unloads at dlclose and a reload starts with fresh globals.
  list(APPEND VYR_DRIVER_COMPILE_OPTIONS -fshort-wchar -fno-gnu-unique -fno-builtin-swprintf)
  if(VYR_SANITIZE)
    list(APPEND VYR_DRIVER_COMPILE_OPTIONS -fsanitize=${VYR_SANITIZE} -fno-omit-frame-pointer)
  endif()
endif()

# Compiles <mc> into <outdir>/<base>.h, <outdir>/MSG00409.bin and <outdir>/<base>.rc.
function(vyr_message_table mc outdir out_bin out_header)
  get_filename_component(base ${mc} NAME_WE)
  set(bin ${outdir}/MSG00409.bin)
  set(hdr ${outdir}/${base}.h)
  add_custom_command(
    OUTPUT ${bin} ${hdr} ${outdir}/${base}.rc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${outdir}
    COMMAND ${VYR_WINDMC_EXE} -U -h ${outdir} -r ${outdir} ${mc}
    DEPENDS ${mc}
    COMMENT "Compiling message table ${base}.mc"
    VERBATIM)
  set(${out_bin} ${bin} PARENT_SCOPE)
  set(${out_header} ${hdr} PARENT_SCOPE)
endfunction()

# Applies the driver-side compile settings to a target (driver images and pure-logic units that
# tests link directly).
function(vyr_driver_side target)
  target_compile_options(${target} PRIVATE ${VYR_DRIVER_COMPILE_OPTIONS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/platform ${PROJECT_SOURCE_DIR}/src/drv/inc)
  if(VYR_WINDOWS)
    # kernel.h's Windows face includes <ntddk.h> and friends, which mingw-w64 keeps in include/ddk.
    target_include_directories(${target} SYSTEM PRIVATE ${VYR_DDK_INCLUDE_DIR})
  else()
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/drv/platform/host/include)
  endif()
endfunction()

function(vyr_driver name)
  cmake_parse_arguments(D "TEST" "MESSAGES;DESCRIPTION" "SOURCES;DEFINITIONS" ${ARGN})
  if(NOT D_DESCRIPTION)
    set(D_DESCRIPTION "${name}")
  endif()
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${name}_gen)
  set(extra)
  if(D_MESSAGES)
    vyr_message_table(${D_MESSAGES} ${gen} bin hdr)
    list(APPEND extra ${hdr})
    if(VYR_WINDOWS)
      file(WRITE ${gen}/${name}_messages.rc.in
        "LANGUAGE 0x9, 0x1\n1 MESSAGETABLE \"${bin}\"\n")
      configure_file(${gen}/${name}_messages.rc.in ${gen}/${name}_messages.rc COPYONLY)
      list(APPEND extra ${gen}/${name}_messages.rc)
      set_source_files_properties(${gen}/${name}_messages.rc PROPERTIES OBJECT_DEPENDS ${bin})
    else()
      file(WRITE ${gen}/${name}_msgtable.S.in
        ".section .rodata.vyrmsgtable,\"a\"\n"
        ".globl HkMessageTable\n.type HkMessageTable,@object\n.balign 16\n"
        "HkMessageTable:\n.incbin \"${bin}\"\nHkMessageTableEnd:\n"
        ".globl HkMessageTableSize\n.type HkMessageTableSize,@object\n.balign 8\n"
        "HkMessageTableSize:\n.quad HkMessageTableEnd - HkMessageTable\n"
        ".section .note.GNU-stack,\"\",@progbits\n")
      configure_file(${gen}/${name}_msgtable.S.in ${gen}/${name}_msgtable.S COPYONLY)
      list(APPEND extra ${gen}/${name}_msgtable.S)
      set_source_files_properties(${gen}/${name}_msgtable.S PROPERTIES OBJECT_DEPENDS ${bin})
    endif()
  endif()

  if(VYR_WINDOWS)
    set(VYR_IMAGE_NAME "${name}.sys")
    set(VYR_IMAGE_DESCRIPTION "${D_DESCRIPTION}")
    set(VYR_IMAGE_FILETYPE "VFT_DRV")
    set(VYR_IMAGE_SUBTYPE "VFT2_DRV_SYSTEM")
    configure_file(${PROJECT_SOURCE_DIR}/packaging/version.rc.in ${gen}/${name}_version.rc @ONLY)
    list(APPEND extra ${gen}/${name}_version.rc)
  endif()

  add_library(${name} SHARED ${D_SOURCES} ${extra})
  if(NOT D_TEST)
    add_dependencies(vyr_all_drivers ${name})
  endif()
  vyr_driver_side(${name})
  target_include_directories(${name} PRIVATE ${gen})
  target_compile_definitions(${name} PRIVATE ${D_DEFINITIONS})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys"
    LIBRARY_OUTPUT_DIRECTORY ${VYR_DRIVER_OUTPUT_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${VYR_DRIVER_OUTPUT_DIR})
  if(VYR_WINDOWS)
    target_link_options(${name} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
      -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat
      -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--no-seh
      # ld exports every global of an image that marks nothing for export; a driver exports nothing.
      -Wl,--exclude-all-symbols)
    target_link_libraries(${name} PRIVATE ntoskrnl hal gcc)
  else()
    target_link_libraries(${name} PRIVATE vyrntos vyrcrt)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
    if(VYR_SANITIZE)
      target_link_options(${name} PRIVATE -fsanitize=${VYR_SANITIZE})
    endif()
  endif()
endfunction()
