# Compiler flags shared by every target of the project.
add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)
if(ZYLD_WERROR)
  add_compile_options(-Werror)
endif()
# g++ 12 reports -Wrestrict on std::string concatenation inlined from libstdc++ (GCC bug 105329),
# a false positive that optimised builds hit in ordinary code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "" FORCE)
if(ZYLD_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZYLD_FUZZ)
  # Every library the targets call is instrumented for coverage, not just the targets' own files:
  # otherwise the fuzzer sees only the harness and cannot steer into the parsers.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZYLD_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-error=tsan)
  add_link_options(-fsanitize=thread)
endif()
# Beast's string_view is boost::core::string_view, which converts to and from std::string_view;
# the old switch for the standard one only prints a deprecation note.
add_compile_definitions(BOOST_ASIO_NO_DEPRECATED)

# zyld_test(NAME SOURCES... LIBS ... [LABELS ...]): one GoogleTest executable registered with CTest.
# Label "unit" marks tests that the sanitizer build runs; "integration" needs peers (PyKMIP, netns).
function(zyld_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/include)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name} PROPERTIES LABELS "${T_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()

# zyld_fuzz(NAME SOURCE LIBS...): a libFuzzer target when ZYLD_FUZZ is on (clang), else a
# replay driver that runs the target over its seed corpus as a unit test.
function(zyld_fuzz name source)
  set(libs ${ARGN})
  set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  if(ZYLD_FUZZ)
    add_executable(${name} ${source})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${libs})
  else()
    add_executable(${name} ${source} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(${name} PRIVATE ${libs})
    add_test(NAME ${name}_replay COMMAND ${name} ${corpus})
    set_tests_properties(${name}_replay PROPERTIES LABELS unit)
  endif()
endfunction()
