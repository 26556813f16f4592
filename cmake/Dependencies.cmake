# Finds the libraries the build needs and stops with the Debian package to install when one is
# missing (scripts/setup-system.sh installs them all): libsodium always; simdjson wherever the
# verifier is built; nlohmann-json, GoogleTest and Google Benchmark for the tests, fuzz targets and
# benchmarks.
find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  message(FATAL_ERROR "pkg-config not found: install the Debian package pkg-config (scripts/setup-system.sh)")
endif()

pkg_check_modules(SODIUM QUIET IMPORTED_TARGET libsodium)
if(NOT SODIUM_FOUND)
  message(FATAL_ERROR "libsodium not found: install the Debian package libsodium-dev (scripts/setup-system.sh)")
endif()
message(STATUS "libsodium: ${SODIUM_VERSION}")

# The verifier's libraries, needed wherever the verifier is built.
if(VELM_BUILD_MODULE OR VELM_BUILD_TESTS OR VELM_BUILD_BENCH OR VELM_BUILD_FUZZ)
  find_package(simdjson QUIET)
  if(NOT simdjson_FOUND)
    message(FATAL_ERROR "simdjson not found: install the Debian package libsimdjson-dev (scripts/setup-system.sh)")
  endif()
endif()

# nlohmann-json reads reports and records independently of the verifier's own parser, in the tests,
# the fuzz targets and the benchmarks.
if(VELM_BUILD_TESTS OR VELM_BUILD_BENCH OR VELM_BUILD_FUZZ)
  find_package(nlohmann_json 3.10 QUIET)
  if(NOT nlohmann_json_FOUND)
    message(FATAL_ERROR "nlohmann-json 3.10 or newer not found: install the Debian package nlohmann-json3-dev (scripts/setup-system.sh)")
  endif()
endif()

if(VELM_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "GoogleTest not found: install the Debian package libgtest-dev (scripts/setup-system.sh)")
  endif()
endif()
if(VELM_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(FATAL_ERROR "Google Benchmark not found: install the Debian package libbenchmark-dev (scripts/setup-system.sh)")
  endif()
endif()
