# The planted DLLs and the unrestricted test build of the installer that the
# DLL-planting test in tests/e2e/test_hardening.py uses.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/planted_dll ${CMAKE_CURRENT_BINARY_DIR}/planted_dll)
