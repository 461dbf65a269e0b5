# Cross-build for 64-bit Windows with Debian's mingw-w64 toolchain (posix threads, for std::thread).
# Tests run through Wine: ctest starts each one with CMAKE_CROSSCOMPILING_EMULATOR.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# builds kelvane.exe and the tests of the layers without Qt (Qt for Windows is not found here, so
# the windows are left out); `--target package` makes the ZIP.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static run-time libraries (libgcc, libstdc++, winpthread): the programs run without the
# toolchain's DLLs beside them, only the system's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CLI11 and nlohmann_json are header-only, so the host's packages serve the cross-build too. Their
# CMake files point at /usr/include, which must not reach the cross compiler (the host's C library
# headers would shadow mingw's); a root of our own holds their CMake files and links to their
# header folders only.
set(KELVANE_HOST_HEADER_PACKAGES "CLI11:CLI" "nlohmann_json:nlohmann")
if(NOT CMAKE_IN_TRY_COMPILE)
  set(header_root ${CMAKE_BINARY_DIR}/host-header-packages)
  foreach(package ${KELVANE_HOST_HEADER_PACKAGES})
    string(REPLACE ":" ";" parts ${package})
    list(GET parts 0 name)
    list(GET parts 1 headers)
    foreach(share /usr/share/cmake /usr/lib/cmake /usr/lib/x86_64-linux-gnu/cmake)
      if(EXISTS ${share}/${name} AND EXISTS /usr/include/${headers}
         AND NOT EXISTS ${header_root}/usr/share/cmake/${name})
        file(MAKE_DIRECTORY ${header_root}/usr/include ${header_root}/usr/share/cmake)
        file(COPY ${share}/${name} DESTINATION ${header_root}/usr/share/cmake)
        file(CREATE_LINK /usr/include/${headers} ${header_root}/usr/include/${headers} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  list(APPEND CMAKE_FIND_ROOT_PATH ${header_root})
endif()

# No GoogleTest package for mingw: the tests build it from Debian's sources (package googletest).
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(KELVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "Build GoogleTest from these sources")
endif()

find_program(KELVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(KELVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_WINE})
endif()
