# Build conventions shared by every folder.

set(PM_WARNINGS -Wall -Wextra -Wformat=2 -Wformat-security)
option(PM_WERROR "Treat the project's warnings as errors (CI sets it)" OFF)
if(PM_WERROR)
    list(APPEND PM_WARNINGS -Werror)
endif()
# The test programs' own flags. The tests assign objects to themselves on purpose (clang warns
# of it in -Wall). In an optimised build (the Windows presets' Release) the test files and
# GoogleTest are compiled at -O1, a third less compile time than -O3: the code they test keeps
# the build's own flags, in the project's libraries they link.
set(PM_TEST_OPTIONS ${PM_WARNINGS})
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    list(APPEND PM_TEST_OPTIONS -Wno-self-assign-overloaded)
endif()
if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    set(PM_TEST_OPT -O1)
endif()
list(APPEND PM_TEST_OPTIONS ${PM_TEST_OPT})
if(WIN32)
    # Windows headers, XP-era APIs are enough; ANSI entry points are the ones the system uses.
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(PM_STDCALL_SUFFIX ON)
    endif()
elseif(PM_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -g -O1)
    add_link_options(-fsanitize=address,undefined)
elseif(PM_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
    add_link_options(-fsanitize=address,undefined)
    # With clang the one sanitizer build also makes the libFuzzer targets: the project's
    # libraries carry the fuzzer's coverage (the test programs link them without the fuzzer),
    # so the fuzz run needs no build of its own.
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        set(PM_NATIVE_FUZZ ON)
    endif()
endif()

# pm_library(name [PORTABLE] SOURCES ... [LIBS ...]): a static library with the project's warnings.
function(pm_library name)
    cmake_parse_arguments(A "" "" "SOURCES;LIBS;INCLUDES" ${ARGN})
    add_library(${name} STATIC ${A_SOURCES})
    target_compile_options(${name} PRIVATE ${PM_WARNINGS})
    if(PM_NATIVE_FUZZ)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${A_INCLUDES})
    if(A_LIBS)
        target_link_libraries(${name} PUBLIC ${A_LIBS})
    endif()
endfunction()

# pm_test(name SOURCES ... [LIBS ...]): a GoogleTest program registered with ctest.
# Under the Windows builds ctest runs it through Wine (CMAKE_CROSSCOMPILING_EMULATOR).
function(pm_test name)
    if(PM_FUZZ)
        return()
    endif()
    cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${A_SOURCES})
    target_compile_options(${name} PRIVATE ${PM_TEST_OPTIONS})
    target_link_libraries(${name} PRIVATE ${A_LIBS} gtest gtest_main)
    if(TARGET pm_test_pch)
        target_precompile_headers(${name} REUSE_FROM pm_test_pch)
    endif()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

# pm_fuzz(name SOURCES ... [LIBS ...]): a libFuzzer target, built with PM_FUZZ and in the native
# sanitizer build with clang (the native preset). The Windows builds make replay_<name> from the
# same sources instead: ctest replays the committed seeds through it, and run.sh the fuzzers'
# corpora (the i686 build has a 32-bit size_t).
function(pm_fuzz name)
    cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
    if(WIN32 AND PM_TESTS)
        add_executable(replay_${name} ${A_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz_replay_main.cpp)
        target_compile_options(replay_${name} PRIVATE ${PM_WARNINGS})
        target_link_libraries(replay_${name} PRIVATE ${A_LIBS})
        set(seeds ${PROJECT_SOURCE_DIR}/tests/fuzz_seeds/${name})
        if(EXISTS ${seeds})
            add_test(NAME replay_${name} COMMAND replay_${name} ${seeds})
            set_tests_properties(replay_${name} PROPERTIES TIMEOUT 120)
        endif()
        return()
    endif()
    if(NOT PM_FUZZ AND NOT PM_NATIVE_FUZZ)
        return()
    endif()
    add_executable(${name} ${A_SOURCES})
    target_compile_options(${name} PRIVATE ${PM_WARNINGS} -fsanitize=fuzzer-no-link)
    target_link_libraries(${name} PRIVATE ${A_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_property(GLOBAL APPEND PROPERTY PM_FUZZ_TARGETS ${name})
endfunction()

# pm_def(out template): a .def file for this architecture. On i686 the stdcall exports carry
# their decoration (@N) in the template as @S<N>@; x86_64 has none.
function(pm_def out template)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${template})
    file(READ ${template} text)
    if(PM_STDCALL_SUFFIX)
        string(REGEX REPLACE "@S([0-9]+)@" "@\\1" text "${text}")
    else()
        string(REGEX REPLACE "@S([0-9]+)@" "" text "${text}")
    endif()
    file(WRITE ${out} "${text}")
endfunction()

# pm_import_library(target def_template [DELAY]): an import library that binds by ordinal, made
# by dlltool from a .def whose entries are all NONAME. DELAY makes a delay-load library: the DLL
# is loaded on the first call, so a program can start without it and report the absence itself.
function(pm_import_library target def_template)
    cmake_parse_arguments(A "DELAY" "" "" ${ARGN})
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.imp.def)
    pm_def(${def} ${def_template})
    set(lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/lib${target}.a)
    if(A_DELAY)
        set(out_flag -y)
    else()
        set(out_flag -l)
    endif()
    add_custom_command(OUTPUT ${lib}
        COMMAND ${CMAKE_DLLTOOL} -d ${def} ${out_flag} ${lib}
        DEPENDS ${def_template} VERBATIM)
    add_custom_target(${target}_implib DEPENDS ${lib})
    add_library(${target} INTERFACE)
    add_dependencies(${target} ${target}_implib)
    target_link_libraries(${target} INTERFACE ${lib})
endfunction()

# pm_version_info(target DESCRIPTION): a file version resource from packaging/VERSION (Windows).
function(pm_version_info target description)
    file(READ ${PROJECT_SOURCE_DIR}/packaging/VERSION PM_VI_VERSION)
    string(STRIP "${PM_VI_VERSION}" PM_VI_VERSION)
    string(REPLACE "." ";" parts "${PM_VI_VERSION}")
    list(GET parts 0 PM_VI_MAJOR)
    list(GET parts 1 PM_VI_MINOR)
    list(GET parts 2 PM_VI_PATCH)
    set(PM_VI_NAME ${target}.exe)
    set(PM_VI_DESCRIPTION "${description}")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in
        ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/packaging/VERSION)
endfunction()
