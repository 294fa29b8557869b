# Debian ships GoogleTest for the build machine only: a cross build compiles it from the installed
# sources with the cross toolchain. The test programs then run under an emulator (Wine), so they
# are registered as one test each instead of being listed at build time.
set(PW_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${PW_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gmock)
    add_library(GTest::gmock ALIAS gmock)
    add_library(GTest::gmock_main ALIAS gmock_main)
endif()

foreach(target gtest gtest_main gmock gmock_main)
    target_compile_options(${target} PRIVATE -w)
endforeach()

include(GoogleTest)
function(gtest_discover_tests TARGET)
    add_test(NAME ${TARGET} COMMAND ${TARGET})
endfunction()
