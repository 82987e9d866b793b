# Shared build settings: warnings for our own code, sanitizer variants, and helpers that
# every library's CMakeLists.txt uses.

if(SANITIZE)
  if(SANITIZE STREQUAL "thread")
    set(_san_flags -fsanitize=thread)
  elseif(SANITIZE MATCHES "address|undefined")
    set(_san_flags -fsanitize=${SANITIZE} -fno-sanitize-recover=undefined)
  else()
    message(FATAL_ERROR "SANITIZE must be 'address,undefined' or 'thread', not '${SANITIZE}'")
  endif()
  add_compile_options(${_san_flags} -fno-omit-frame-pointer -g)
  # Thread-ownership checks (MTP_DCHECK_RUN_ON) stay on in the sanitizer builds.
  add_compile_definitions(MTP_CHECK_THREADS)
  add_link_options(${_san_flags})
endif()

# Warnings stop the build where that helps: CI's builds (scripts/test, scripts/check-threads)
# turn this on, so a new warning fails there and gets fixed. Any other build only shows them:
# what the optimiser-based checks (-Warray-bounds, -Wstringop-overflow, -Wmaybe-uninitialized,
# ...) report depends on the build type's optimisation and on the compiler's version, and a false
# report of theirs must not stop someone building Release or MinSizeRel with another compiler.
option(STREAMCORE_WERROR "Treat warnings in StreamCore's own code as errors (CI's builds turn this on)" OFF)

# Warnings on our own targets only (not on third-party headers we include).
function(sc_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(STREAMCORE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # Lock annotations (common/thread_annotations.h) are checked by clang only. Its -Wall also
    # reports a method that hides an overload from another base, which the camera plug-in
    # does on purpose and g++'s -Wall does not report.
    target_compile_options(${target} PRIVATE -Wthread-safety -Wno-overloaded-virtual)
  endif()
endfunction()

# Seconds the long tests take on an idle two-core machine. A fresh build has no timings of
# CTest's own, and CTest then starts the tests with the highest COST first: the long ones
# overlap the many short ones instead of running last, one beside an idle core.
set(SC_TEST_SECONDS
  rtmplink_narrow_test 36  e2e_bitrate_test 31  e2e_lipsync_test 19  mediatap_audio_pulse_test 16
  streamcore_play_test 15  rtmplink_server_test 40  rtmplink_network_test 14  mediatap_x11_test 14
  rtmplink_play_test 12  streamcore_integration_test 14  mediatap_audio_unit_test 10  e2e_publish_test 7
  mediatap_unit_test 5  mediatap_camera_test 5  mediatap_audio_noserver_test 5  mediatap_render_test 5)

# sc_test(NAME SOURCES... LIBS ... [LABELS ...])
# One GoogleTest binary registered with CTest, run from the build folder.
function(sc_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  sc_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  list(FIND SC_TEST_SECONDS ${name} at)
  if(at GREATER -1)
    math(EXPR at "${at} + 1")
    list(GET SC_TEST_SECONDS ${at} seconds)
    set_tests_properties(${name} PROPERTIES COST ${seconds})
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
