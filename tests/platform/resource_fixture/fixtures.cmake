# Libraries carrying each package build's resources, for the module and resource tests in
# platform_tests: one per build, one (quellin40) that links the QuellinObj one, and one with no
# resources of its own that links the QuellinObj one too.
include(${PROJECT_SOURCE_DIR}/cmake/QuellinResources.cmake)

function(quellin_resource_fixture name)
  cmake_parse_arguments(A "" "BUILD;NEEDS" "" ${ARGN})
  set(target quellin_fixture_${name})
  add_library(${target} SHARED ${CMAKE_CURRENT_LIST_DIR}/fixture.cpp)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME quellin-fixture-${name})
  target_compile_definitions(${target} PRIVATE QUELLIN_FIXTURE_OWN=fixture_${name}_own)
  if(A_BUILD)
    target_compile_definitions(${target} PRIVATE QUELLIN_FIXTURE_BUILD="${A_BUILD}")
    quellin_embed_resources(${target} ${A_BUILD})
  endif()
  if(A_NEEDS)
    target_compile_definitions(${target} PRIVATE QUELLIN_FIXTURE_NEEDS=fixture_${A_NEEDS}_own)
    target_link_libraries(${target} PRIVATE quellin_fixture_${A_NEEDS})
  endif()
  string(TOUPPER ${name} upper)
  add_dependencies(platform_tests ${target})
  target_compile_definitions(platform_tests PRIVATE
    QUELLIN_FIXTURE_${upper}="$<TARGET_FILE:${target}>")
endfunction()

quellin_resource_fixture(quellinobj BUILD QuellinObj)
quellin_resource_fixture(quellin50 BUILD quellin50)
quellin_resource_fixture(quellin40 BUILD quellin40 NEEDS quellinobj)
quellin_resource_fixture(bare NEEDS quellinobj)
