# Reads the resources back from the built installer and checks them. The test
# learns the configured update hosts from the same cache variables, read the
# same way, that build the download addresses.
zelvra_win_test(resources_test ${CMAKE_CURRENT_LIST_DIR}/resources_test.cpp
  ARGS $<TARGET_FILE:ZelvraInstaller>
  DEPENDS ZelvraInstaller)
zelvra_url_root(primary_root "${ZELVRA_PRIMARY_HOST}")
zelvra_url_root(secondary_root "${ZELVRA_SECONDARY_HOST}")
zelvra_url_root(dev_root "${ZELVRA_DEV_HOST}")
target_compile_definitions(resources_test PRIVATE
  "ZELVRA_TEST_PRIMARY_ROOT=\"${primary_root}\""
  "ZELVRA_TEST_SECONDARY_ROOT=\"${secondary_root}\""
  "ZELVRA_TEST_DEV_ROOT=\"${dev_root}\"")
target_link_libraries(resources_test PRIVATE version)
