# Reads the resources back from the built installer and checks them. The test
# learns the configured update hosts from the same cache variables that build
# the download addresses.
zelvra_win_test(resources_test ${CMAKE_CURRENT_LIST_DIR}/resources_test.cpp
  ARGS $<TARGET_FILE:ZelvraInstaller>
  DEPENDS ZelvraInstaller)
target_compile_definitions(resources_test PRIVATE
  "ZELVRA_TEST_PRIMARY_HOST=\"${ZELVRA_PRIMARY_HOST}\""
  "ZELVRA_TEST_SECONDARY_HOST=\"${ZELVRA_SECONDARY_HOST}\""
  "ZELVRA_TEST_DEV_HOST=\"${ZELVRA_DEV_HOST}\"")
target_link_libraries(resources_test PRIVATE version)
