# BLAKE3, the reference C library. Prefer an installed package; Debian 12 ships none, but its
# librust-blake3-dev installs the reference C sources, which we build as a static library with
# their runtime CPU dispatch.
find_package(BLAKE3 CONFIG QUIET)
if(TARGET BLAKE3::blake3)
  add_library(korvel_blake3 ALIAS BLAKE3::blake3)
  return()
endif()

pkg_check_modules(LIBBLAKE3 QUIET IMPORTED_TARGET libblake3)
if(LIBBLAKE3_FOUND)
  add_library(korvel_blake3 ALIAS PkgConfig::LIBBLAKE3)
  return()
endif()

file(GLOB _blake3_dirs LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
list(SORT _blake3_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _blake3_dirs 0 BLAKE3_SOURCE_DIR)
if(NOT BLAKE3_SOURCE_DIR OR NOT EXISTS "${BLAKE3_SOURCE_DIR}/blake3.c")
  message(FATAL_ERROR "BLAKE3 not found: install libblake3-dev, or librust-blake3-dev for its C sources")
endif()
message(STATUS "BLAKE3: building the reference C library from ${BLAKE3_SOURCE_DIR}")

set(_blake3_sources
  ${BLAKE3_SOURCE_DIR}/blake3.c
  ${BLAKE3_SOURCE_DIR}/blake3_dispatch.c
  ${BLAKE3_SOURCE_DIR}/blake3_portable.c)
set(_blake3_defs "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND UNIX)
  enable_language(ASM)
  list(APPEND _blake3_sources
    ${BLAKE3_SOURCE_DIR}/blake3_sse2_x86-64_unix.S
    ${BLAKE3_SOURCE_DIR}/blake3_sse41_x86-64_unix.S
    ${BLAKE3_SOURCE_DIR}/blake3_avx2_x86-64_unix.S
    ${BLAKE3_SOURCE_DIR}/blake3_avx512_x86-64_unix.S)
else()
  set(_blake3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512 BLAKE3_USE_NEON=0)
endif()

add_library(korvel_blake3 STATIC ${_blake3_sources})
target_include_directories(korvel_blake3 SYSTEM PUBLIC ${BLAKE3_SOURCE_DIR})
target_compile_definitions(korvel_blake3 PRIVATE ${_blake3_defs})
set_target_properties(korvel_blake3 PROPERTIES C_VISIBILITY_PRESET hidden POSITION_INDEPENDENT_CODE ON)
