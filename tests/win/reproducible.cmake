# Two builds of the release artifact from two source copies must be identical.
add_test(NAME reproducible_build COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/reproducible_build.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(reproducible_build PROPERTIES TIMEOUT 900 LABELS windows)
