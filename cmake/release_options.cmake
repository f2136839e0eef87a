# The build-time options of a release: the update hosts (plain HTTP or HTTPS),
# the pinned signers of the update files and the largest file taken. Used by the top-level
# CMakeLists.txt for the installer, and by the tests for builds with other
# settings.

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

# Writes `file`, the source that defines the pinned signers of the update
# files, from a list of SHA-256 certificate fingerprints (hex, either case,
# colons or blanks between the bytes allowed; ';' or ',' between them).
function(zelvra_configure_signers file fingerprints)
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
