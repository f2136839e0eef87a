# Test builds of the installer with one definition of its platform helpers changed
# (tests/win/planted_dll, tests/e2e/unelevated). Never used by the product.

# A copy of a static library of the installer: the same sources, include
# folders, definitions and options, with `extra_definition` added and the
# libraries it links renamed as `renames` (old1 new1 old2 new2 ...) says.
function(zelvra_copy_library original copy extra_definition)
  get_target_property(source_dir ${original} SOURCE_DIR)
  get_target_property(sources ${original} SOURCES)
  set(absolute_sources)
  foreach(source ${sources})
    if(IS_ABSOLUTE "${source}")
      list(APPEND absolute_sources ${source})
    else()
      list(APPEND absolute_sources ${source_dir}/${source})
    endif()
  endforeach()
  add_library(${copy} STATIC ${absolute_sources})
  foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS COMPILE_FEATURES
                   INTERFACE_INCLUDE_DIRECTORIES INTERFACE_COMPILE_DEFINITIONS INTERFACE_LINK_DIRECTORIES
                   INTERFACE_LINK_OPTIONS)
    get_target_property(value ${original} ${property})
    if(value)
      set_property(TARGET ${copy} PROPERTY ${property} ${value})
    endif()
  endforeach()
  target_compile_definitions(${copy} PRIVATE ${extra_definition})
  get_target_property(dependencies ${original} MANUALLY_ADDED_DEPENDENCIES)
  if(dependencies)
    add_dependencies(${copy} ${dependencies})
  endif()
  get_target_property(libraries ${original} LINK_LIBRARIES)
  if(libraries)
    set(renames ${ARGN})
    while(renames)
      list(POP_FRONT renames old new)
      list(TRANSFORM libraries REPLACE "^${old}$" "${new}")
    endwhile()
    target_link_libraries(${copy} PUBLIC ${libraries})
  endif()
endfunction()

# The installer executable `name`, linked as the product's test builds are,
# from a copy of the platform helpers compiled with `definition` too, and
# copies of the framework and of the installer library that link it (named
# zelvra_platform_`suffix`, zelvra_framework_`suffix` and
# zelvra_installer_`suffix`). The two libraries above the platform helpers
# are copied only so that they link the changed copy.
function(zelvra_installer_with_platform_definition name suffix definition)
  zelvra_copy_library(zelvra_platform zelvra_platform_${suffix} ${definition})
  zelvra_copy_library(zelvra_framework zelvra_framework_${suffix} ""
                      zelvra_platform zelvra_platform_${suffix})
  zelvra_copy_library(zelvra_installer zelvra_installer_${suffix} ""
                      zelvra_framework zelvra_framework_${suffix} zelvra_platform zelvra_platform_${suffix})
  add_executable(${name} WIN32 ${PROJECT_SOURCE_DIR}/app/main.cpp)
  target_link_options(${name} PRIVATE -municode)  # the entry point is wWinMain
  target_compile_options(${name} PRIVATE ${ZELVRA_WARNINGS})
  target_link_libraries(${name} PRIVATE zelvra_installer_${suffix} zelvra_resources)
endfunction()
