# The Windows configuration of the tree, included by the top-level CMakeLists.txt when it is
# cross-built for 32-bit Windows. Test programs run under wine (CMAKE_CROSSCOMPILING_EMULATOR).

# The folders that build for Windows; every other folder is skipped with one message.
set(STREAMCORE_WINDOWS_DIRS
  outside/common
  streamcore/mtp
  paneshare
  launcher
)

# Windows 7 is the oldest system the client runs on; the headers then declare what it has.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX)
# The GCC runtime as DLLs next to the programs: an exception thrown in one module and caught
# in another needs one unwinder (32-bit mingw unwinds with DWARF tables that each copy of libgcc
# registers for its own module only), and libraries like the support library throw by contract.
foreach(_dll libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                  OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
    message(FATAL_ERROR "The mingw runtime ${_dll} was not found")
  endif()
  configure_file(${_path} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${_dll} COPYONLY)
endforeach()

# A program that runs away from those DLLs (the launcher, test programs copied elsewhere)
# carries the runtime inside.
function(sc_windows_standalone target)
  target_link_options(${target} PRIVATE -static)
endfunction()

# A DLL without export declarations exports every symbol it holds. Poco, linked into it
# statically, must stay its own, or it would clash in programs that link Poco themselves.
add_link_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>:LINKER:--exclude-libs,libPocoFoundation.a>)

find_package(Threads REQUIRED)

# GoogleTest from the source Debian ships (package googletest), built here for Windows.
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
if(NOT EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${GTEST_SOURCE_DIR} (scripts/setup installs them)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_library(GTest::gtest ALIAS gtest)
add_library(GTest::gtest_main ALIAS gtest_main)
add_library(GTest::gmock ALIAS gmock)

# Poco Foundation built for Windows by scripts/setup --windows (static).
set(STREAMCORE_WINDOWS_PREFIX "" CACHE PATH "Prefix of the libraries built for Windows (Poco)")
if(STREAMCORE_WINDOWS_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${STREAMCORE_WINDOWS_PREFIX})
endif()
find_package(Poco REQUIRED COMPONENTS Foundation)
# A static Poco needs these in every program that links it.
set_property(TARGET Poco::Foundation APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS POCO_STATIC)
set_property(TARGET Poco::Foundation APPEND PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 iphlpapi)
