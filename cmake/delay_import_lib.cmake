# Makes a delay-import library for one system DLL out of the toolchain's own
# import library: every function the import library names is imported through
# the delay-load helper instead, which loads the DLL at the first call (from
# the system folder only: see platform/dll_search.cpp). Run with cmake -P:
#
#   -D NM=<nm> -D DLLTOOL=<dlltool> -D IMPORT_LIB=<libuser32.a> -D DLL=<USER32.dll>
#   -D IMP_PREFIX=<__imp_ or __imp__> -D KILL_AT=<ON for 32-bit x86> -D OUTPUT=<lib.a>
execute_process(COMMAND ${NM} -g ${IMPORT_LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} cannot read ${IMPORT_LIB}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(exports)
foreach(line ${lines})
  if(line MATCHES " I ${IMP_PREFIX}([A-Za-z0-9_@?$]+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES exports)
list(LENGTH exports count)
if(count EQUAL 0)
  message(FATAL_ERROR "no imports found in ${IMPORT_LIB}")
endif()
list(JOIN exports "\n" body)
set(def "${OUTPUT}.def")
file(WRITE ${def} "LIBRARY ${DLL}\nEXPORTS\n${body}\n")
set(options)
if(KILL_AT)
  list(APPEND options --kill-at)
endif()
execute_process(COMMAND ${DLLTOOL} --def ${def} --dllname ${DLL} --output-delaylib ${OUTPUT} ${options}
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${DLLTOOL} failed for ${DLL}")
endif()
