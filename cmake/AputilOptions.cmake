# One INTERFACE target carries the language level, warnings and sanitizers;
# every target of the project links it.
add_library(aputil_options INTERFACE)
target_compile_features(aputil_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(aputil_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wnon-virtual-dtor
  -Woverloaded-virtual -Wcast-align -Wformat=2
  -Wimplicit-fallthrough -Wmissing-declarations
  # GCC 12 reports null dereferences inside std::vector copies once inlined at
  # -O2/-O3 (false positives); the check stays on in unoptimised builds.
  $<$<CONFIG:Debug>:-Wnull-dereference>)
if(APUTIL_WERROR)
  target_compile_options(aputil_options INTERFACE -Werror)
endif()

set(_aputil_allowed_sanitizers "address" "undefined")
if(APUTIL_SANITIZE)
  foreach(_san IN LISTS APUTIL_SANITIZE)
    if(NOT _san IN_LIST _aputil_allowed_sanitizers)
      message(FATAL_ERROR "APUTIL_SANITIZE: '${_san}' is not one of: ${_aputil_allowed_sanitizers}")
    endif()
  endforeach()
  list(JOIN APUTIL_SANITIZE "," _san_flags)
  target_compile_options(aputil_options INTERFACE -fsanitize=${_san_flags} -fno-omit-frame-pointer
    -fno-sanitize-recover=all)
  target_link_options(aputil_options INTERFACE -fsanitize=${_san_flags})
  target_compile_definitions(aputil_options INTERFACE _GLIBCXX_ASSERTIONS)
endif()

# Registers a GoogleTest or QtTest program with ctest under one tier label:
# unit (pure), netns (real frames on veth pairs in namespaces of its own), gui (Qt offscreen).
function(aputil_add_test name label)
  cmake_parse_arguments(T "" "TIMEOUT" "COMMAND" ${ARGN})
  if(NOT T_COMMAND)
    set(T_COMMAND $<TARGET_FILE:${name}>)
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS ${label} TIMEOUT ${T_TIMEOUT})
  if(label STREQUAL "gui")
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()
endfunction()
