# Adds the benchmark's helper programs to a build of the project whose
# tools/CMakeLists.txt does not list tools/bench (tools/bench.sh uses it for a
# side build then):
#   cmake -DCMAKE_PROJECT_ZelvraInstaller_INCLUDE=<path of this file> ...
# CMake includes this file right after the project's project() call; the
# targets are defined at the end of the top-level CMakeLists.txt, so that they
# get the same compile and link options as everything else.
set(ZELVRA_BENCH_DIR ${CMAKE_CURRENT_LIST_DIR})
function(zelvra_include_bench)
  if(WIN32 AND NOT TARGET bench_worker)
    include(${ZELVRA_BENCH_DIR}/bench_targets.cmake)
  endif()
endfunction()
cmake_language(DEFER CALL zelvra_include_bench)
