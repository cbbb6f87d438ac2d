# Every dependency is a Debian package (scripts/bootstrap installs them); nothing is downloaded here.
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
if(KORVEL_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()

pkg_check_modules(YAML REQUIRED IMPORTED_TARGET yaml-0.1)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(HS REQUIRED IMPORTED_TARGET libhs)
find_package(simdjson REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/Blake3.cmake)
