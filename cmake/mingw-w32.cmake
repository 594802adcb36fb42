# 32-bit Windows build with MinGW-w64. Built, not run: this machine cannot execute 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triplet i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
