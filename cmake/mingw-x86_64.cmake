# The 64-bit twin, for testing under 64-bit Wine only; never shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CXX_FLAGS_INIT -DBRISVANE_TWIN)
set(CMAKE_RC_FLAGS_INIT -DBRISVANE_TWIN)
