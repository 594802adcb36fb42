# sarvelt.exe: the Win32 program (WIN32 subsystem) around the portable core, with its
# resources (dialog, icon, manifest, version record).
enable_language(RC)

# The GUI program's own headers, and the Win32 side of the window seam.
sarvelt_layer(sarvelt_gui HEADERS ui/gui.h platform/window_win.h USES sarvelt_core)

# The Win32 window seam is compiled into the program itself (not a library), so that the
# core's calls into the window resolve against it.
add_executable(sarvelt WIN32
  ${CMAKE_CURRENT_LIST_DIR}/winmain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/browse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_menu.cpp
  ${CMAKE_SOURCE_DIR}/platform/window_win.cpp
  ${CMAKE_SOURCE_DIR}/resources/sarvelt.rc)
target_link_libraries(sarvelt PRIVATE sarvelt_gui sarvelt_flags
  comctl32 shell32 ole32 user32 gdi32)
# The resource script includes resource.h and names the icon beside it.
target_include_directories(sarvelt PRIVATE ${CMAKE_SOURCE_DIR}/resources)
sarvelt_layer_root(sarvelt_resources resources_root)
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/sarvelt.rc PROPERTIES
  OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/resources/resource.h;${CMAKE_SOURCE_DIR}/resources/version_info.rc;${CMAKE_SOURCE_DIR}/resources/sarvelt.ico;${resources_root}/resources/sarvelt.manifest;${resources_root}/resources/version.h")
# The program lands at the top of the build folder, where scripts/run.sh and the GUI tests
# look for it.
set_target_properties(sarvelt PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
