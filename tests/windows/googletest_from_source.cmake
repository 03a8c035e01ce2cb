# Serves find_package(GTest) from GoogleTest's sources (Debian's googletest package
# installs them under /usr/src/googletest), built for the target with the rest of the
# project: the host's prebuilt libraries cannot link into a cross build.
# Named in CMAKE_PROJECT_TOP_LEVEL_INCLUDES by the cross-build presets.
set(DOVEL_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for the target")

macro(dovel_provide_googletest method package)
  if("${package}" STREQUAL "GTest" AND EXISTS "${DOVEL_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    if(NOT TARGET gtest)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
      add_subdirectory(${DOVEL_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                       EXCLUDE_FROM_ALL SYSTEM)
    endif()
    set(GTest_FOUND TRUE)
  endif()
endmacro()

cmake_language(SET_DEPENDENCY_PROVIDER dovel_provide_googletest SUPPORTED_METHODS FIND_PACKAGE)
