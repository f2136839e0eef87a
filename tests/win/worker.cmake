# The download worker under Wine, through the real WinInet, against a fresh
# update mirror that run_with_mirror.py starts on free loopback ports. Korean
# locale: the framework's file-error texts exist in Korean only. The worker's
# error boxes appear on the shared desktop.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_executable(worker_test
  ${CMAKE_CURRENT_LIST_DIR}/worker_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_harness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_mirror.cpp)
target_compile_options(worker_test PRIVATE ${ZELVRA_WARNINGS})
target_link_libraries(worker_test PRIVATE zelvra_installer ${ZELVRA_PRODUCT_SEAMS} gtest gmock ws2_32 shlwapi wininet)
add_test(NAME worker_test
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_with_mirror.py
                 --emulator ${CMAKE_CROSSCOMPILING_EMULATOR} --locale ko_KR.UTF-8
                 -- $<TARGET_FILE:worker_test>)
set_tests_properties(worker_test PROPERTIES TIMEOUT 300 LABELS windows RESOURCE_LOCK wine_desktop)
