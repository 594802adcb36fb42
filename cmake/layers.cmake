# sarvelt_layer(<target> [HEADERS <h>...] [SOURCES <cpp>...] [USES <target>...])
#
# One layer of the program: a static library (an interface library when it has no sources).
# Paths are relative to the source root. The layer's headers are reachable only through an
# include root of its own, which holds links to exactly these headers under their folder's name
# ("engine/engine.h"). A source file sees the roots of its own layer and of the layers it uses
# (and of theirs), so an include that runs against the layering fails to build.
function(sarvelt_layer target)
  cmake_parse_arguments(L "" "" "HEADERS;SOURCES;USES" ${ARGN})
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  foreach(header ${L_HEADERS})
    get_filename_component(folder ${header} DIRECTORY)
    file(MAKE_DIRECTORY ${root}/${folder})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${header} ${root}/${header} SYMBOLIC)
  endforeach()
  if(L_SOURCES)
    list(TRANSFORM L_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
    add_library(${target} STATIC ${L_SOURCES})
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC ${L_USES} PRIVATE sarvelt_flags)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE ${L_USES})
  endif()
endfunction()

# The include root of a layer, for files generated into it.
function(sarvelt_layer_root target out)
  set(${out} ${CMAKE_BINARY_DIR}/layers/${target} PARENT_SCOPE)
endfunction()
