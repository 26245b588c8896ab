# Shared build rules for the modules, the two programs, their tests and fuzz targets.

set(PROGRAM_FLAGS -Wall -Wextra -Werror -fno-exceptions -fno-rtti)

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

# A deliverable: left at build/<name>, linked against nothing but the C
# library, statically: the device's library need not match the build
# host's, and the relay's resident memory halves without the shared
# library's mapped pages.
function(add_device_program name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE ${PROGRAM_FLAGS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  if(NOT SANITIZE AND NOT FUZZ)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()

# A GoogleTest executable whose cases ctest lists one by one.
function(add_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT BUILD_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    BUILD_DIR="${CMAKE_BINARY_DIR}" SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
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
