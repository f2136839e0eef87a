# How every build of the installer is made: the product ZelvraInstaller and its
# test builds (ZelvraInstallerUnrestricted, ZelvraInstallerUnelevated,
# ZelvraInstallerPinned, ZelvraInstallerHttps) come from zelvra_add_installer,
# with the same compile and link options. A test build differs from the product
# in one seam only: a small object library that holds nothing but the
# definitions it swaps. Each seam and the product's own:
#
#   UPDATE_SIGNERS  zelvra_update_signers  the pinned signers (update_signers.cpp, generated)
#   RESOURCES       zelvra_resources       resources and download addresses (res/)
#   ELEVATION       zelvra_elevation       the elevation check (platform/elevation.cpp)
#   DLL_SEARCH      zelvra_dll_search      the restricted DLL search and the delay-load hook
#                                          (platform/dll_search.cpp)
#
# The seams are linked into the executable as objects, so their definitions
# are taken whatever the order of the static libraries that call them, and a
# swap is one name on the link line. Other programs that link zelvra_installer
# (the Windows tests, the benchmark) link ${ZELVRA_PRODUCT_SEAMS} beside it.
# The test run compares the builds' command lines (tests/win/installer_builds.py).

# The product's code is built for size, each function and object in a section
# of its own, and the link drops every section nothing refers to. The
# installer is linked with link-time optimisation across the product's
# libraries; their objects carry ordinary code too (fat), which the test
# programs link. As C++20: there the library's strings are not declared as
# instantiated in the library, so only the members the program uses are
# compiled into it, not the library's whole instantiation object with its
# unwind tables. (-fno-asynchronous-unwind-tables would change no byte of the
# 32-bit build: with exceptions on, the compiler emits the same unwind tables.)
set(ZELVRA_PRODUCT_COMPILE_OPTIONS -Os -ffunction-sections -fdata-sections -flto -ffat-lto-objects)
function(zelvra_product_code target)
  target_compile_options(${target} PRIVATE ${ZELVRA_PRODUCT_COMPILE_OPTIONS})
  set_property(TARGET ${target} PROPERTY CXX_STANDARD 20)
endfunction()

# Every program that is not a build of the installer links the ordinary code
# of those (fat) objects: with the linker plugin, the 32-bit linker resolves
# their intermediate code against the plain objects of a test and reports the
# framework's inline functions and vtables as defined twice.
add_link_options($<$<NOT:$<BOOL:$<TARGET_PROPERTY:ZELVRA_INSTALLER_BUILD>>>:-fno-use-linker-plugin>)

set(ZELVRA_SEAM_KINDS UPDATE_SIGNERS RESOURCES ELEVATION DLL_SEARCH)
set(ZELVRA_PRODUCT_SEAMS zelvra_update_signers zelvra_resources zelvra_elevation zelvra_dll_search)

# zelvra_add_seam(NAME source...): a seam of C++ sources, compiled as the
# product's code is. It links nothing itself: what its definitions call, the
# product's libraries link already, so that every build's link line is the same.
function(zelvra_add_seam name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${ZELVRA_WARNINGS})
  zelvra_product_code(${name})
endfunction()

# The C++ run-time (libstdc++, libgcc, libgcc_eh) of the same compiler release
# built for the win32 thread model: the posix model's exception support runs
# over the winpthreads library (about 30 KiB, and a TLS callback and its
# set-up before WinMain), the win32 model's over the system's own primitives.
# The two differ only inside the run-time; the program uses no std::thread,
# std::mutex or the like, whose layouts differ (the linker would not find the
# posix model's run-time functions).
string(REGEX REPLACE "-posix$" "-win32" ZELVRA_WIN32_MODEL_CXX "${CMAKE_CXX_COMPILER}")
execute_process(COMMAND ${ZELVRA_WIN32_MODEL_CXX} -print-file-name=libgcc_eh.a
                OUTPUT_VARIABLE ZELVRA_WIN32_MODEL_GCC_EH OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE ZELVRA_WIN32_MODEL_FOUND ERROR_QUIET)
if(NOT ZELVRA_WIN32_MODEL_FOUND EQUAL 0 OR NOT IS_ABSOLUTE "${ZELVRA_WIN32_MODEL_GCC_EH}")
  message(FATAL_ERROR "${ZELVRA_WIN32_MODEL_CXX} (the win32 thread model of the toolchain, Debian's "
                      "g++-mingw-w64-*-win32) is missing: tools/setup.sh installs it")
endif()
get_filename_component(ZELVRA_WIN32_MODEL_LIBS ${ZELVRA_WIN32_MODEL_GCC_EH} DIRECTORY)

# zelvra_add_installer(NAME [UPDATE_SIGNERS seam] [RESOURCES seam] [ELEVATION seam]
#                      [DLL_SEARCH seam]): the installer executable NAME, in the
# current binary folder, with the product's seams but those named. The link map
# NAME.map beside it names what every byte comes from (the benchmark and the PE
# test read it).
function(zelvra_add_installer name)
  cmake_parse_arguments(PARSE_ARGV 1 SEAM "" "${ZELVRA_SEAM_KINDS}" "")
  if(SEAM_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zelvra_add_installer(${name}): not a seam: ${SEAM_UNPARSED_ARGUMENTS}")
  endif()
  set(seams)
  foreach(kind product IN ZIP_LISTS ZELVRA_SEAM_KINDS ZELVRA_PRODUCT_SEAMS)
    if(SEAM_${kind})
      list(APPEND seams ${SEAM_${kind}})
    else()
      list(APPEND seams ${product})
    endif()
  endforeach()

  # The run-time pieces of its own: runtime/cxx_runtime.cpp and
  # runtime/static_init_guards.cpp say what each keeps out.
  add_executable(${name} WIN32 ${PROJECT_SOURCE_DIR}/app/main.cpp ${PROJECT_SOURCE_DIR}/runtime/cxx_runtime.cpp
                 ${PROJECT_SOURCE_DIR}/runtime/static_init_guards.cpp)
  set_property(TARGET ${name} PROPERTY ZELVRA_INSTALLER_BUILD ON)
  target_compile_options(${name} PRIVATE ${ZELVRA_WARNINGS})
  zelvra_product_code(${name})
  # One partition for the link-time optimisation: the program is small, and
  # with the default partitioning the 64-bit compiler has crashed
  # (binds_to_current_def_p) on code that crosses partitions.
  target_link_options(${name} PRIVATE -municode  # the entry point is wWinMain
                      -flto -flto-partition=one -Os -Wl,--gc-sections -Wl,-Map=$<TARGET_FILE_DIR:${name}>/${name}.map)
  # Linked again when an import library it takes from the build folder changes.
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ZELVRA_DELAY_IMPORT_LIBS})
  target_link_directories(${name} BEFORE PRIVATE ${ZELVRA_WIN32_MODEL_LIBS})
  target_link_libraries(${name} PRIVATE zelvra_installer ${seams})
endfunction()
