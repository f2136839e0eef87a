# The guards of function-local statics that the installer provides itself
# (framework/afxguard.cpp, linked into this test as into the installer), and
# the stack protector's guard (framework/afxsys.cpp).
zelvra_win_test(runtime_test ${CMAKE_CURRENT_LIST_DIR}/runtime_test.cpp ${PROJECT_SOURCE_DIR}/framework/afxguard.cpp)
target_link_libraries(runtime_test PRIVATE gtest_main)
