# quellin_add_library(<target> EXPORT_NAME <name> DIR <layer dir> SOURCES ... HEADERS ... [DEPENDS ...])
#
# One shared library per layer (and per package). Headers are reached by layer
# ("platform/win32.h", "vcl/vcl.h") from the source tree and, once installed,
# from <prefix>/include/quellin, so the same #include lines work in both.
function(quellin_add_library target)
  cmake_parse_arguments(A "" "EXPORT_NAME;DIR;OUTPUT_NAME" "SOURCES;HEADERS;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
  add_library(${target} SHARED ${A_SOURCES} ${A_HEADERS})
  add_library(Quellin::${A_EXPORT_NAME} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${A_EXPORT_NAME})
  # Installed side by side, the layers find each other wherever the tree is put.
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  if(A_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${A_OUTPUT_NAME})
  endif()
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/quellin>)
  target_compile_features(${target} PUBLIC cxx_std_20)
  if(A_DEPENDS)
    target_link_libraries(${target} PUBLIC ${A_DEPENDS})
  endif()
  if(A_PRIVATE_DEPENDS)
    target_link_libraries(${target} PRIVATE ${A_PRIVATE_DEPENDS})
  endif()
  install(TARGETS ${target} EXPORT QuellinTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(A_HEADERS)
    install(FILES ${A_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quellin/${A_DIR})
  endif()
endfunction()
