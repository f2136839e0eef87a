# The guards of function-local statics that the installer provides itself
# (runtime/static_init_guards.cpp, linked into this test as into the
# installer), and the stack protector's guard (runtime/stack_guard.cpp).
zelvra_win_test(runtime_test ${CMAKE_CURRENT_LIST_DIR}/runtime_test.cpp ${PROJECT_SOURCE_DIR}/runtime/static_init_guards.cpp)
target_link_libraries(runtime_test PRIVATE gtest_main)
