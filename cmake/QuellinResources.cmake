# quellin_embed_resources(<target> <quellin50|quellin40|QuellinObj>)
#
# Gives a library (or program) the Windows resources of one package build: at build time
# quellin-resgen writes them as a C++ source holding the resource table, which is compiled into
# the target and exported so that FindResourceA and friends (platform/resource.h) find it.
# Include this file from any directory that needs it; the generator is defined once.
include_guard(GLOBAL)

get_filename_component(_quellin_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set_property(GLOBAL PROPERTY QUELLIN_RESOURCES_ROOT "${_quellin_root}")

add_executable(quellin_resgen ${_quellin_root}/packages/tools/quellin-resgen.cpp)
set_target_properties(quellin_resgen PROPERTIES OUTPUT_NAME quellin-resgen)
# Only the header constants of the platform layer are used; nothing is linked from it.
target_include_directories(quellin_resgen PRIVATE ${_quellin_root})
target_compile_features(quellin_resgen PRIVATE cxx_std_20)
unset(_quellin_root)

function(quellin_embed_resources target build)
  set(builds quellin50 quellin40 QuellinObj)
  if(NOT build IN_LIST builds)
    message(FATAL_ERROR "quellin_embed_resources: unknown package build '${build}' "
                        "(one of: ${builds})")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "quellin_embed_resources: no target '${target}'")
  endif()
  get_property(root GLOBAL PROPERTY QUELLIN_RESOURCES_ROOT)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND quellin_resgen ${build} ${out}
    DEPENDS quellin_resgen
    COMMENT "Generating the ${build} resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  set_source_files_properties(${out} TARGET_DIRECTORY ${target}
    PROPERTIES GENERATED TRUE INCLUDE_DIRECTORIES ${root})
  # A program's table is only found when the program exports its symbols.
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  endif()
endfunction()
