set(QUOR_WIN_ARCH x64)
include(${CMAKE_CURRENT_LIST_DIR}/ZigWindows.cmake)
