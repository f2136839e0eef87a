# PE header checks of this build's installer and, when it has been built, the
# 32-bit release artifact beside it (tools/test.sh builds that first).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME pe_checks
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pe_test.py
                 $<TARGET_FILE:ZelvraInstaller> ${PROJECT_SOURCE_DIR}/build/windows-x86/ZelvraInstaller.exe)
set_tests_properties(pe_checks PROPERTIES LABELS windows)
