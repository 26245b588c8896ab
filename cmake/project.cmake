# Shared build rules for the modules, the two programs, their tests and fuzz targets.

set(PROGRAM_FLAGS -Wall -Wextra -Werror -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)

# The delivery form. A toolchain file for another C library names it in
# DEVICE_LIBC and its gcc specs file in DEVICE_LIBC_SPECS; set as options
# here, the specs survive a CMAKE_CXX_FLAGS given on the command line.
# Such a build makes the device programs only: the tests, the host tools
# and the benchmarks need libstdc++, which exists for glibc alone.
set(DEVICE_LIBC glibc CACHE STRING "The C library the device programs are built for")
option(DEVICE_STATIC "Link the device programs statically" ON)
set(DEVICE_SIZE_LIMIT_KB 0 CACHE STRING "Largest stripped device program in KiB (0: no limit)")
if(DEVICE_LIBC_SPECS)
  add_compile_options(-specs=${DEVICE_LIBC_SPECS})
  add_link_options(-specs=${DEVICE_LIBC_SPECS})
  set(DEVICE_ONLY ON)
  set(BUILD_TESTS OFF)
endif()

if(SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# A module library: code that ends up on the device.
function(add_module_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${PROGRAM_FLAGS})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()

# A deliverable: left at build/<name>, installed into bin/ (sbin/ with
# SBIN) under the prefix, linked against nothing but the C library. By
# default statically: the device's library need not match the build
# host's, and the relay's resident memory halves without the shared
# library's mapped pages.
#
# It is linked with the C compiler driver, so the C++ runtime is never
# pulled in: an accidental `new` or guarded static is a link error rather
# than 50 KB more. (The driver of the C++ sources' libraries is told, by
# an empty list of implicit C++ libraries in the caller's folder, not to
# add them back; the folder's C++-linked tests are not affected.)
function(add_device_program name)
  cmake_parse_arguments(P "SBIN;NOINSTALL" "" "" ${ARGN})
  add_executable(${name} ${P_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE ${PROGRAM_FLAGS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
    EXCLUDE_FROM_ALL OFF)
  if(NOT SANITIZE AND NOT FUZZ)
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
    set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "" PARENT_SCOPE)
    target_link_options(${name} PRIVATE -Wl,--gc-sections)
    if(DEVICE_STATIC)
      target_link_options(${name} PRIVATE -static)
    endif()
  endif()
  set(dest bin)
  if(P_SBIN)
    set(dest sbin)
  endif()
  if(P_NOINSTALL)
    set(dest "")
  endif()
  set_target_properties(${name} PROPERTIES DEVICE_INSTALL_DIR "${dest}")
  set_property(GLOBAL APPEND PROPERTY DEVICE_PROGRAMS ${name})
endfunction()

# Called once all folders are in. Installs the device programs (from here:
# a device-only build leaves the folders out of install too) and prints
# each one's stripped size when the build ends; fails the build when one
# is over DEVICE_SIZE_LIMIT_KB, carries a GNU ABI note in a musl build
# (glibc crept in), or needs a library other than libc.
function(add_device_program_rules)
  get_property(programs GLOBAL PROPERTY DEVICE_PROGRAMS)
  foreach(p ${programs})
    get_target_property(dest ${p} DEVICE_INSTALL_DIR)
    if(dest)
      install(TARGETS ${p} RUNTIME DESTINATION ${dest})
    endif()
  endforeach()
  if(SANITIZE OR FUZZ OR NOT programs)
    return()
  endif()
  set(link dynamic)
  if(DEVICE_STATIC)
    set(link static)
  endif()
  set(files)
  foreach(p ${programs})
    list(APPEND files $<TARGET_FILE:${p}>)
  endforeach()
  add_custom_target(device_checks ALL
    COMMAND ${CMAKE_COMMAND} "-DPROGRAMS=${files}" -DSTRIP=${CMAKE_STRIP}
      -DREADELF=${CMAKE_READELF} -DLIBC=${DEVICE_LIBC} -DLINK=${link}
      "-DFORM=${CMAKE_SYSTEM_PROCESSOR} ${DEVICE_LIBC} ${link}"
      -DLIMIT_KB=${DEVICE_SIZE_LIMIT_KB} -DOUT=${CMAKE_BINARY_DIR}/sizes.txt
      -P ${CMAKE_SOURCE_DIR}/cmake/check_programs.cmake
    DEPENDS ${programs} VERBATIM)
endfunction()

# GoogleTest: the installed one for the build host; for another processor,
# built here from Debian's sources (package googletest).
function(find_gtest)
  if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
  endif()
  set(src /usr/src/googletest/googletest)
  if(NOT EXISTS ${src}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources for the target are missing: install googletest")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endfunction()

# A GoogleTest executable whose cases ctest lists one by one.
function(add_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    BUILD_DIR="${CMAKE_BINARY_DIR}" SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set(props TIMEOUT 300)
  if(T_LABELS)
    list(APPEND props LABELS ${T_LABELS})
  endif()
  # Emulated (in a cross build), listing the cases takes longer.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${props})
endfunction()

# A libFuzzer target, built only with -DFUZZ=ON and clang.
function(add_fuzz_target name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# A module folder: every .cc but main.cc and *_test.cc makes the library
# NAME; every *_test.cc is a test executable linked with NAME, LIBS and
# TEST_LIBS (platform_fake, pk2pack_lib, ...).
function(add_module name)
  cmake_parse_arguments(M "" "" "LIBS;TEST_LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER srcs EXCLUDE REGEX "(_test|/main)\\.cc$")
  if(NOT srcs)
    return()
  endif()
  add_module_library(${name} ${srcs})
  target_link_libraries(${name} PUBLIC ${M_LIBS})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  foreach(t ${tests})
    get_filename_component(tn ${t} NAME_WE)
    add_unit_test(${tn} SOURCES ${t} LIBS ${name} ${M_TEST_LIBS})
  endforeach()
endfunction()
