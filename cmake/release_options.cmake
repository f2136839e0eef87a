# The build-time options of a release: the update hosts (plain HTTP or HTTPS),
# the pinned signers of the update files with the floor for the launcher, and
# the largest file taken. Used by the top-level CMakeLists.txt for the
# installer, and by the tests for builds with other settings.

# The root of the download addresses for one update-host setting: "host",
# "host:port" and "http://host[:port]" give "http://host[:port]";
# "https://host[:port]" gives that. Anything else stops the configuration.
function(zelvra_url_root out setting)
  if(setting MATCHES "^(https?)://([A-Za-z0-9.-]+(:[0-9]+)?)$")
    set(root "${CMAKE_MATCH_1}://${CMAKE_MATCH_2}")
  elseif(setting MATCHES "^[A-Za-z0-9.-]+(:[0-9]+)?$")
    set(root "http://${setting}")
  else()
    message(FATAL_ERROR "update host \"${setting}\": expected host, host:port, http://host[:port] or "
                        "https://host[:port]")
  endif()
  set(${out} "${root}" PARENT_SCOPE)
endfunction()

# Writes `dir`/zelvra_hosts.h, the download addresses of the resources, for
# the three update-host settings.
function(zelvra_configure_hosts dir primary secondary dev)
  zelvra_url_root(ZELVRA_PRIMARY_ROOT "${primary}")
  zelvra_url_root(ZELVRA_SECONDARY_ROOT "${secondary}")
  zelvra_url_root(ZELVRA_DEV_ROOT "${dev}")
  configure_file(${PROJECT_SOURCE_DIR}/res/hosts.h.in ${dir}/zelvra_hosts.h @ONLY)
endfunction()

# zelvra_configure_signers(FILE FINGERPRINTS [MIN_VERSION ORIGINAL_NAME])
# writes FILE, the source that defines the pinned signers of the update files
# and the floor for the launcher: from a list of SHA-256 certificate
# fingerprints (hex, either case, colons or blanks between the bytes allowed;
# ';' or ',' between them), the oldest launcher version started (a.b.c.d;
# empty: no floor, the only choice without signers) and the OriginalFilename
# the launcher's version block must give (ASCII letters, digits and
# . _ - + ( ), compared without regard to case). The floor is the build's
# (ZELVRA_LAUNCHER_MIN_VERSION, ZELVRA_LAUNCHER_ORIGINAL_NAME) unless given.
function(zelvra_configure_signers file fingerprints)
  set(min_version "${ZELVRA_LAUNCHER_MIN_VERSION}")
  set(original_name "${ZELVRA_LAUNCHER_ORIGINAL_NAME}")
  if(ARGC GREATER 2)
    set(min_version "${ARGV2}")
    set(original_name "${ARGV3}")
  endif()
  string(REPLACE "," ";" fingerprints "${fingerprints}")
  set(ZELVRA_SIGNER_LIST "")
  foreach(fingerprint IN LISTS fingerprints)
    string(REGEX REPLACE "[: \t]" "" hex "${fingerprint}")
    string(TOLOWER "${hex}" hex)
    if(hex STREQUAL "")
      continue()
    endif()
    if(NOT hex MATCHES "^[0-9a-f]+$")
      message(FATAL_ERROR "update signer \"${fingerprint}\": not a hexadecimal fingerprint")
    endif()
    string(LENGTH "${hex}" length)
    if(NOT length EQUAL 64)
      message(FATAL_ERROR "update signer \"${fingerprint}\": a SHA-256 fingerprint has 64 hex digits, not ${length}")
    endif()
    string(APPEND ZELVRA_SIGNER_LIST "    \"${hex}\",\n")
  endforeach()
  if(min_version STREQUAL "")
    set(ZELVRA_LAUNCHER_FLOOR_REQUIRED false)
    set(ZELVRA_LAUNCHER_FLOOR_VERSION "0, 0, 0, 0")
  else()
    if(ZELVRA_SIGNER_LIST STREQUAL "")
      message(FATAL_ERROR "ZELVRA_LAUNCHER_MIN_VERSION \"${min_version}\" without ZELVRA_UPDATE_SIGNERS: the launcher's "
                          "floor is checked only in a build that pins the signers of the update files")
    endif()
    if(NOT min_version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
      message(FATAL_ERROR "ZELVRA_LAUNCHER_MIN_VERSION \"${min_version}\": expected a.b.c.d, each 0 to 65535")
    endif()
    set(ZELVRA_LAUNCHER_FLOOR_VERSION "")
    foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
      string(LENGTH "${part}" length)
      if(length GREATER 5 OR part GREATER 65535)
        message(FATAL_ERROR "ZELVRA_LAUNCHER_MIN_VERSION \"${min_version}\": expected a.b.c.d, each 0 to 65535")
      endif()
      math(EXPR part "${part}")  # without leading zeros, which C++ would read as octal
      list(APPEND ZELVRA_LAUNCHER_FLOOR_VERSION ${part})
    endforeach()
    list(JOIN ZELVRA_LAUNCHER_FLOOR_VERSION ", " ZELVRA_LAUNCHER_FLOOR_VERSION)
    set(ZELVRA_LAUNCHER_FLOOR_REQUIRED true)
  endif()
  if(NOT original_name MATCHES "^[A-Za-z0-9._()+-]+$")
    message(FATAL_ERROR "ZELVRA_LAUNCHER_ORIGINAL_NAME \"${original_name}\": expected a file name of ASCII letters, "
                        "digits and . _ - + ( )")
  endif()
  set(ZELVRA_LAUNCHER_ORIGINAL_NAME "${original_name}")
  configure_file(${PROJECT_SOURCE_DIR}/launch/update_signers.cpp.in ${file} @ONLY)
endfunction()

# Stops the configuration unless `bytes` is a whole number from 1 to
# 4294967295: the download counts in 32 bits.
function(zelvra_check_max_file_size bytes)
  string(LENGTH "${bytes}" length)
  if(NOT bytes MATCHES "^[1-9][0-9]*$" OR length GREATER 10 OR (length EQUAL 10 AND bytes STRGREATER "4294967295"))
    message(FATAL_ERROR "ZELVRA_MAX_FILE_SIZE \"${bytes}\": expected a number of bytes from 1 to 4294967295")
  endif()
endfunction()
