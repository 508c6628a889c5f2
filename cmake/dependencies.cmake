# GoogleTest and Google Benchmark, for the tests and the benchmarks only: the
# program and the demo need nothing but a C++20 compiler and CMake. AUTO
# builds what the libraries found allow; ON insists, and names the Debian
# package to install where one is missing.
function(ripple_need option found what package)
  if(${option} STREQUAL "AUTO")
    if(found)
      set(${option} ON PARENT_SCOPE)
    else()
      set(${option} OFF PARENT_SCOPE)
      message(STATUS "${option}: no ${what}, so it is left out (on Debian: apt-get install ${package})")
    endif()
  elseif(${option} AND NOT found)
    message(FATAL_ERROR "${option}=ON needs ${what}, which was not found; "
                        "on Debian: apt-get install ${package}, or configure with -D${option}=OFF")
  endif()
endfunction()

if(RIPPLE_TESTS)
  # A cross build finds no GoogleTest for its processor: Debian's copy of
  # the sources is built instead.
  find_package(GTest QUIET)
  set(RIPPLE_GTEST_SOURCES /usr/src/googletest CACHE PATH "GoogleTest's sources, built where no GoogleTest is installed for the target")
  set(gtest_sources ${RIPPLE_GTEST_SOURCES})
  if(GTest_FOUND OR EXISTS ${gtest_sources}/CMakeLists.txt)
    set(have_gtest TRUE)
  else()
    set(have_gtest FALSE)
  endif()
  ripple_need(RIPPLE_TESTS ${have_gtest} "GoogleTest" libgtest-dev)
  if(RIPPLE_TESTS AND NOT GTest_FOUND)
    add_subdirectory(${gtest_sources} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    target_compile_options(gtest PRIVATE -w)  # its sources are not ours to mend
  endif()
endif()

if(RIPPLE_BENCHMARKS)
  find_package(benchmark QUIET)
  ripple_need(RIPPLE_BENCHMARKS "${benchmark_FOUND}" "Google Benchmark" libbenchmark-dev)
endif()
