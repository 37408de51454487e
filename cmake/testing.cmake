include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
  # Debian ships the GoogleTest sources; build them with the cross compiler.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
if(UPD_WINDOWS)
  # Static runtime: test programs and the updater need no mingw DLLs under Wine.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Every Win32 test runs through Wine with this build tree's own prefix.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/scripts/wine-run;--arch;${UPD_WINE_ARCH};${CMAKE_BINARY_DIR}")
elseif(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest REQUIRED)
endif()

# A GoogleTest program whose cases CTest lists one by one (discovered when the tests run, so building needs no Wine).
function(upd_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
endfunction()
