# Project-wide compile and link settings, and the helpers every deliverable
# uses: warnings, hardening, the "__version" section and the post-link checks.

set(KV_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wundef -Wmissing-declarations
    -Wcast-qual -Wimplicit-fallthrough)
set(KV_CXX_WARNINGS -Wnon-virtual-dtor)
if(KV_WERROR)
    list(APPEND KV_WARNINGS -Werror)
endif()

add_compile_options(${KV_WARNINGS} "$<$<COMPILE_LANGUAGE:CXX>:${KV_CXX_WARNINGS}>"
    -fstack-protector-strong -D_FORTIFY_SOURCE=2 -D_GNU_SOURCE)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
    set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()
add_link_options(-Wl,-z,relro,-z,now,-z,noexecstack)

if(KV_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(KV_TSAN)
    if(KV_SANITIZE)
        message(FATAL_ERROR "KV_TSAN and KV_SANITIZE exclude each other")
    endif()
    # halt_on_error in TSAN_OPTIONS (the tsan test preset) makes a report fail its test.
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

if(KV_COVERAGE)
    # Atomic counter updates: threaded code otherwise loses increments, and
    # gcov then derives negative branch counts from counters that disagree.
    add_compile_options(--coverage -O0 -fprofile-update=atomic)
    # Lets test children write their counters before _exit.
    add_compile_definitions(KV_COVERAGE_BUILD)
    add_link_options(--coverage)
endif()

if(KV_FUZZ)
    # Coverage for libFuzzer in every object; the fuzzers add the driver.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set(KV_TOOLS_DIR ${CMAKE_SOURCE_DIR}/tools)

# kv_version_section(<target> <version text>)
# Gives <target> an ELF section "__version" holding exactly the text and one
# NUL, through the generated object that also defines `version_number`.
function(kv_version_section target text)
    set(KV_VERSION_TEXT "${text}")
    set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_section.c)
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version_section.c.in ${out} @ONLY)
    target_sources(${target} PRIVATE ${out})
    # Generated C is compiled with the default flags only: it is one array.
    set_source_files_properties(${out} PROPERTIES COMPILE_OPTIONS "-Wno-missing-variable-declarations")
    if(KV_TESTS)
        add_test(NAME ${target}_version_section
                 COMMAND ${KV_TOOLS_DIR}/check-version-section.sh $<TARGET_FILE:${target}> "${text}")
    endif()
endfunction()

# kv_shared_library(<target> MAP <version script> VERSION <text>
#                   [ABSENT <file of names>] SOURCES ...)
# A deliverable shared library: hidden symbols, the version script as the
# whole export list, full RELRO, no undefined symbols, static helpers kept
# private, and a post-link test that the exports equal the map file (and
# include none of the ABSENT names).
function(kv_shared_library target)
    cmake_parse_arguments(A "" "MAP;VERSION;ABSENT" "SOURCES" ${ARGN})
    add_library(${target} SHARED ${A_SOURCES})
    kv_version_section(${target} "${A_VERSION}")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${A_MAP})
    target_link_options(${target} PRIVATE -Wl,-z,defs -Wl,--exclude-libs,ALL
        -Wl,--version-script=${A_MAP})
    if(KV_TESTS AND NOT KV_SANITIZE)
        add_test(NAME ${target}_exports
                 COMMAND ${KV_TOOLS_DIR}/check-exports.sh $<TARGET_FILE:${target}> ${A_MAP} ${A_ABSENT})
    endif()
endfunction()

# kv_test_in_namespace(<test executable> [STUB <target path>=<file>]...)
# Runs the target's tests through tests/harness/nsrun.sh (private mount and
# PID namespace: private /dev/log, /opt/korvane and /tmp; each STUB bound over
# its fixed path), and through the cross-compiling emulator in the i686 build.
function(kv_test_in_namespace target)
    cmake_parse_arguments(A "" "" "STUB" ${ARGN})
    set(runner ${CMAKE_SOURCE_DIR}/tests/harness/nsrun.sh)
    foreach(stub IN LISTS A_STUB)
        list(APPEND runner --stub ${stub})
    endforeach()
    list(APPEND runner --)
    if(CMAKE_CROSSCOMPILING_EMULATOR)
        list(APPEND runner ${CMAKE_CROSSCOMPILING_EMULATOR})
    endif()
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${runner}")
endfunction()
