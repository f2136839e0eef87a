# Every build of the installer is compiled and linked as the product is, but
# for its one seam (cmake/installer.cmake): this build's and, when it has been
# built, the 32-bit one beside it. The pinned build's seam adds code: in the
# product no signer is pinned, so link-time optimisation drops the signature
# check (WinVerifyTrust and the signer's certificate) as never reached; the
# pinned build keeps it. The unelevated build answers "not elevated", so the
# link leaves the elevated path out (the held start of the launcher, its
# environment): it may be smaller. Every other seam adds none.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME installer_builds
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/installer_builds.py --adds-code ZelvraInstallerPinned
                 --drops-code ZelvraInstallerUnelevated
                 ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}/build/windows-x86)
set_tests_properties(installer_builds PROPERTIES LABELS windows)
