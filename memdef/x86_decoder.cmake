# Instruction-length decoder of the hook relocator: a static library linked
# into libmemdef (PIC, no C++ runtime), its unit and differential tests.
add_library(memdef_x86_decoder STATIC ${CMAKE_CURRENT_LIST_DIR}/x86_decoder.cpp)
target_include_directories(memdef_x86_decoder PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(memdef_x86_decoder PRIVATE -fno-exceptions -fno-rtti -fno-threadsafe-statics)
set_target_properties(memdef_x86_decoder PROPERTIES POSITION_INDEPENDENT_CODE ON)

if(KV_TESTS)
    # capstone is the reference of the differential test only (the i386 one
    # in the i686 build, through the toolchain's pkg-config directory).
    pkg_check_modules(KV_CAPSTONE REQUIRED IMPORTED_TARGET capstone)
    add_executable(x86_decoder_tests
        ${CMAKE_CURRENT_LIST_DIR}/x86_decoder_test.cpp
        ${CMAKE_CURRENT_LIST_DIR}/x86_decoder_reference_test.cpp)
    target_link_libraries(x86_decoder_tests PRIVATE memdef_x86_decoder PkgConfig::KV_CAPSTONE GTest::gtest_main)
    gtest_discover_tests(x86_decoder_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)

    # The archive may reference nothing but the stack protector: no C++
    # runtime, no allocator, no other libc call (instrumented builds add
    # their runtimes' symbols).
    if(NOT KV_SANITIZE AND NOT KV_TSAN AND NOT KV_COVERAGE)
        add_test(NAME memdef_x86_decoder_undefined_symbols
                 COMMAND sh -c "u=$(nm -u \"$1\" | awk 'NF==2{print $2}' | grep -v -x -e __stack_chk_fail -e __stack_chk_fail_local -e _GLOBAL_OFFSET_TABLE_); if [ -n \"$u\" ]; then echo \"unexpected: $u\"; exit 1; fi"
                         sh $<TARGET_FILE:memdef_x86_decoder>)
    endif()
endif()
