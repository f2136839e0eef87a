# The elevated start of the launcher: started suspended, resumed only when it
# runs the file held open for it.
zelvra_win_test(launch_test ${CMAKE_CURRENT_LIST_DIR}/launch_test.cpp)
target_link_libraries(launch_test PRIVATE gtest_main)
set_tests_properties(launch_test PROPERTIES RESOURCE_LOCK wine_desktop)
