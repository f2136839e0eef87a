# Helper programs of the benchmark (tools/bench.sh), all built with the
# project's own compile and link options, into <build>/tools/bench, and only
# when asked for (target bench_tools):
#   bench_worker    console: runs the installer's download worker against URLs
#                   read from standard input; timings, CPU time, working set
#   bench_baseline  a minimal Win32 dialog program, the start-up baseline
#   bench_baseline_icon  the same with the installer's icon
#   bench_probe     console: message round trips to another process's
#                   windows, start-up timing, the cancel timeline
# Included from tools/bench/CMakeLists.txt, or from include_bench.cmake at the
# end of the top-level CMakeLists.txt; hence the absolute paths.
set(ZELVRA_BENCH_SOURCE ${CMAKE_CURRENT_LIST_DIR})
set(ZELVRA_BENCH_OUTPUT ${CMAKE_BINARY_DIR}/tools/bench)

add_executable(bench_worker EXCLUDE_FROM_ALL ${ZELVRA_BENCH_SOURCE}/bench_worker.cpp)
target_compile_options(bench_worker PRIVATE ${ZELVRA_WARNINGS})
# The product's seams, but pinning the test signing key of the release-option
# tests, so that the timed signature check of files signed with it passes.
set(ZELVRA_BENCH_SEAMS ${ZELVRA_PRODUCT_SEAMS})
if(TARGET zelvra_update_signers_pinned)
  list(TRANSFORM ZELVRA_BENCH_SEAMS REPLACE "^zelvra_update_signers$" zelvra_update_signers_pinned)
  add_dependencies(bench_worker release_option_files)
endif()
target_link_libraries(bench_worker PRIVATE zelvra_installer ${ZELVRA_BENCH_SEAMS} wininet)

add_executable(bench_baseline WIN32 EXCLUDE_FROM_ALL ${ZELVRA_BENCH_SOURCE}/bench_baseline.cpp ${ZELVRA_BENCH_SOURCE}/bench_baseline.rc)
target_compile_options(bench_baseline PRIVATE ${ZELVRA_WARNINGS})
target_link_libraries(bench_baseline PRIVATE user32)

# The same with the installer's icon on its dialog: a second reference, which
# tells the icon's share of the installer's start-up from the rest.
add_executable(bench_baseline_icon WIN32 EXCLUDE_FROM_ALL ${ZELVRA_BENCH_SOURCE}/bench_baseline.cpp
               ${ZELVRA_BENCH_SOURCE}/bench_baseline_icon.rc)
target_compile_options(bench_baseline_icon PRIVATE ${ZELVRA_WARNINGS})
target_compile_definitions(bench_baseline_icon PRIVATE ZELVRA_BASELINE_ICON)
get_filename_component(ZELVRA_BENCH_ICON_DIR ${ZELVRA_ICON} DIRECTORY)
target_include_directories(bench_baseline_icon PRIVATE ${ZELVRA_BENCH_SOURCE} ${ZELVRA_BENCH_ICON_DIR})
target_link_libraries(bench_baseline_icon PRIVATE user32)
add_dependencies(bench_baseline_icon zelvra_resources)

add_executable(bench_probe EXCLUDE_FROM_ALL ${ZELVRA_BENCH_SOURCE}/bench_probe.cpp)
target_compile_options(bench_probe PRIVATE ${ZELVRA_WARNINGS})
target_link_libraries(bench_probe PRIVATE user32 kernel32)

set_target_properties(bench_worker bench_baseline bench_baseline_icon bench_probe PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${ZELVRA_BENCH_OUTPUT})
add_custom_target(bench_tools DEPENDS bench_worker bench_baseline bench_baseline_icon bench_probe)

# The benchmark's own Python helpers (statistics, PE resources, report); no Wine.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME bench_helpers
           COMMAND ${Python3_EXECUTABLE} -m unittest -v test_bench
           WORKING_DIRECTORY ${ZELVRA_BENCH_SOURCE})
  set_tests_properties(bench_helpers PROPERTIES TIMEOUT 120 LABELS tools)
endif()
