set(QUOR_WIN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/ZigWindows.cmake)
