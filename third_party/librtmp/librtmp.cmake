# Our librtmp (third_party/librtmp/build, run by scripts/setup) as the target librtmp_static:
# the static library from the cache folder, or, in the address and undefined-behaviour
# sanitizer build, the same patched sources compiled here with the build's flags so that the
# sanitizers see inside librtmp too. (The thread sanitizer build links the library as it is,
# as it linked the system's: librtmp's lazily set globals are not ours to annotate.) Its
# GnuTLS, nettle, gmp and zlib come with it.

# The cache folder of scripts/setup: $STREAMCORE_CACHE, else /var/cache/streamcore for root,
# else ~/.cache/streamcore.
if(DEFINED ENV{STREAMCORE_CACHE} AND NOT "$ENV{STREAMCORE_CACHE}" STREQUAL "")
  set(_sc_cache "$ENV{STREAMCORE_CACHE}")
else()
  execute_process(COMMAND id -u OUTPUT_VARIABLE _sc_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_sc_uid STREQUAL "0")
    set(_sc_cache /var/cache/streamcore)
  elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_sc_cache "$ENV{XDG_CACHE_HOME}/streamcore")
  else()
    set(_sc_cache "$ENV{HOME}/.cache/streamcore")
  endif()
endif()
set(STREAMCORE_LIBRTMP_DIR "${_sc_cache}/librtmp" CACHE PATH "Our librtmp, as scripts/setup builds it")

if(NOT EXISTS "${STREAMCORE_LIBRTMP_DIR}/streamcore-librtmp-stamp")
  message(FATAL_ERROR "Our librtmp is not in ${STREAMCORE_LIBRTMP_DIR}: run scripts/setup, which builds it "
                      "there (or point STREAMCORE_LIBRTMP_DIR at a folder it built).")
endif()
file(READ "${STREAMCORE_LIBRTMP_DIR}/streamcore-librtmp-stamp" _sc_librtmp_stamp)
string(STRIP "${_sc_librtmp_stamp}" _sc_librtmp_stamp)
message(STATUS "librtmp: ${_sc_librtmp_stamp} (${STREAMCORE_LIBRTMP_DIR})")

find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBRTMP_DEPS REQUIRED IMPORTED_TARGET GLOBAL gnutls hogweed nettle gmp zlib)

if(SANITIZE MATCHES "address|undefined")
  file(GLOB _sc_librtmp_sources "${STREAMCORE_LIBRTMP_DIR}/src/*.c")
  add_library(librtmp_static STATIC ${_sc_librtmp_sources})
  # The name the RtmpLink link line hides by (--exclude-libs).
  set_target_properties(librtmp_static PROPERTIES OUTPUT_NAME rtmp POSITION_INDEPENDENT_CODE ON)
  target_compile_definitions(librtmp_static PRIVATE USE_GNUTLS)
  # Not our code: its warnings are not ours to fix.
  target_compile_options(librtmp_static PRIVATE -w)
  target_include_directories(librtmp_static PUBLIC "${STREAMCORE_LIBRTMP_DIR}/include")
  target_link_libraries(librtmp_static PUBLIC PkgConfig::LIBRTMP_DEPS)
else()
  add_library(librtmp_static STATIC IMPORTED GLOBAL)
  set_target_properties(librtmp_static PROPERTIES
    IMPORTED_LOCATION "${STREAMCORE_LIBRTMP_DIR}/lib/librtmp.a"
    INTERFACE_INCLUDE_DIRECTORIES "${STREAMCORE_LIBRTMP_DIR}/include"
    INTERFACE_LINK_LIBRARIES PkgConfig::LIBRTMP_DEPS)
endif()
