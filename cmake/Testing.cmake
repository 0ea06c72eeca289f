# How ctest runs our tests. On Linux every test goes through scripts/lab.sh: native ones run in
# the lab's scan namespace when the lab is up (and here, skipping what needs it, when not);
# Windows ones run under Wine in the lab only, once the prefix's wineserver is proved to be
# there. The lab and the wineserver are fixtures that the whole run shares (tests/run/).

# Every preset builds into build/<preset>: its name labels and prefixes its tests.
get_filename_component(BRIXLE_PRESET "${CMAKE_BINARY_DIR}" NAME)
set(BRIXLE_LAB_ENV "${PROJECT_SOURCE_DIR}/build/lab/lab.env" CACHE FILEPATH
    "Where the test run records its routed lab (scripts/lab.sh up)")
set(BRIXLE_LAB_LAN_ENV "${PROJECT_SOURCE_DIR}/build/lab-lan/lab.env" CACHE FILEPATH
    "Where the test run records its LAN lab, the scanner on the /24 it sweeps")
set(BRIXLE_LAB "${PROJECT_SOURCE_DIR}/scripts/lab.sh")

# Scripts run in the lab when it is up (they skip by themselves when not); GoogleTest programs
# natively the same way, Windows ones under Wine in the lab only.
if(CMAKE_HOST_UNIX)
    set(BRIXLE_IN_LAB "${BRIXLE_LAB}" run "${BRIXLE_LAB_ENV}")
    if(CMAKE_CROSSCOMPILING)
        set(BRIXLE_GTEST_LAUNCHER "${BRIXLE_LAB}" wine "${BRIXLE_LAB_ENV}")
        set(BRIXLE_GTEST_FIXTURES lab wine)
    else()
        set(BRIXLE_GTEST_LAUNCHER ${BRIXLE_IN_LAB})
        set(BRIXLE_GTEST_FIXTURES lab)
    endif()
else()
    set(BRIXLE_IN_LAB "")
    set(BRIXLE_GTEST_LAUNCHER "")
    set(BRIXLE_GTEST_FIXTURES "")
endif()

if(BRIXLE_SANITIZE MATCHES address)
    set(BRIXLE_TEST_ENVIRONMENT
        "ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1"
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1")
elseif(BRIXLE_SANITIZE MATCHES thread)
    set(BRIXLE_TEST_ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
else()
    set(BRIXLE_TEST_ENVIRONMENT "")
endif()

# A test of this preset, labelled with its name and LABELS, run in the lab (or by LAUNCHER),
# needing FIXTURES (default: the lab); HERE: as it stands, with no lab at all. Exit 77 and
# GoogleTest's skip marker count as skipped.
#
# Tests run four at a time (most of them wait on the network), but never two that hold the same
# LOCKS: "net" (sends or counts ICMP in the routed lab: every raw socket there sees every reply)
# and "wine" (Windows programs in a lab's prefix, whose server a session restarts), with "-lan",
# "-app", "-faults-..." for the other labs'. CORES: of the machine's two (tests/run/cores.json), 1
# for a test that keeps a core busy, 2 for one that measures what a busy second core would
# change; the rest are light. SERIAL: alone.
function(brixle_add_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "HERE;SERIAL" "TIMEOUT;CORES"
        "COMMAND;LABELS;LAUNCHER;FIXTURES;ENVIRONMENT;LOCKS")
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 300)
    endif()
    if(arg_HERE)
        set(arg_LAUNCHER "")
        set(arg_FIXTURES "")
    endif()
    if(NOT DEFINED arg_LAUNCHER)
        set(arg_LAUNCHER ${BRIXLE_IN_LAB})
    endif()
    if(NOT DEFINED arg_FIXTURES AND CMAKE_HOST_UNIX)
        set(arg_FIXTURES lab)
    endif()
    set(test "${BRIXLE_PRESET}/${name}")
    set(environment ${BRIXLE_TEST_ENVIRONMENT} ${arg_ENVIRONMENT})
    add_test(NAME "${test}" COMMAND ${arg_LAUNCHER} ${arg_COMMAND})
    set_tests_properties("${test}" PROPERTIES
        LABELS "${BRIXLE_PRESET};${arg_LABELS}"
        TIMEOUT ${arg_TIMEOUT}
        SKIP_RETURN_CODE 77
        SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
        FIXTURES_REQUIRED "${arg_FIXTURES}"
        RESOURCE_LOCK "${arg_LOCKS}"
        RUN_SERIAL ${arg_SERIAL}
        ENVIRONMENT "${environment}")
    # Those that keep a core busy start early as well, beside the waiting ones, rather than
    # queueing for the cores at the end of the run.
    if(arg_CORES)
        set_tests_properties("${test}" PROPERTIES RESOURCE_GROUPS "cores:${arg_CORES}" COST 200)
    endif()
    # Those that queue for a lab's network first, so that the queue starts with the run.
    if("net" IN_LIST arg_LOCKS OR "net-lan" IN_LIST arg_LOCKS OR "net-app" IN_LIST arg_LOCKS)
        set_tests_properties("${test}" PROPERTIES COST 100)
    endif()
endfunction()

# The cases SOURCE declares (TEST, TEST_F, TEST_P at the start of a line, wrapped or not) as
# Suite.Name into NAMES, those of TEST_P into PARAMETERISED. One it cannot read stops the configure:
# registered under a wrong name its filter would match nothing, and GoogleTest passes on nothing.
function(brixle_gtest_cases source names parameterised)
    file(READ "${source}" text)
    string(REGEX MATCHALL "\n[ \t]*TEST(_F|_P)?\\([^)]*\\)" declarations "\n${text}")
    set(space "[ \t\r\n]*")
    set(found "")
    set(found_p "")
    foreach(declaration IN LISTS declarations)
        if(NOT declaration MATCHES
           "^\n[ \t]*TEST(_F|_P)?\\(${space}([A-Za-z0-9_]+)${space},${space}([A-Za-z0-9_]+)${space}\\)$")
            string(STRIP "${declaration}" declaration)
            message(FATAL_ERROR "${source}: cannot tell the suite and name of `${declaration}`; "
                "write TEST(Suite, Name) with the two names themselves, no macro")
        endif()
        list(APPEND found "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
        if(CMAKE_MATCH_1 STREQUAL "_P")
            list(APPEND found_p "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
        endif()
    endforeach()
    set(${names} "${found}" PARENT_SCOPE)
    set(${parameterised} "${found_p}" PARENT_SCOPE)
endfunction()

# Every TEST and TEST_F of SOURCES becomes a test of its own: PRESET/PREFIX/Suite.Name; every
# TEST_P once per VARIANT (the parameter's name): PRESET/PREFIX/Suite.Name/VARIANT. With SUITE,
# only that suite's. With LAN, only those not named Routed..., in the LAN lab:
# PRESET/lan/Suite.Name. LABELS, LAUNCHER, FIXTURES, LOCKS, CORES, TIMEOUT, HERE and SERIAL as for
# brixle_add_test (default: this preset's GoogleTest way).
function(brixle_add_gtests target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "LAN;SERIAL;HERE" "SUITE;PREFIX;TIMEOUT;CORES"
        "SOURCES;VARIANTS;LABELS;LAUNCHER;FIXTURES;LOCKS")
    set(prefix "")
    if(arg_PREFIX)
        set(prefix ${arg_PREFIX}/)
    endif()
    set(launcher ${BRIXLE_GTEST_LAUNCHER})
    if(DEFINED arg_LAUNCHER)
        set(launcher ${arg_LAUNCHER})
    endif()
    set(fixtures ${BRIXLE_GTEST_FIXTURES})
    if(DEFINED arg_FIXTURES)
        set(fixtures ${arg_FIXTURES})
    endif()
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 300)
    endif()
    set(locks ${arg_LOCKS})
    # Windows test programs one at a time in a prefix: run side by side, Wine's loader was seen
    # to crash at the end of one that had passed.
    if(CMAKE_CROSSCOMPILING)
        list(APPEND locks wine)
    endif()
    if(arg_LAN AND CMAKE_HOST_UNIX)
        set(prefix lan/)
        list(TRANSFORM launcher REPLACE "^${BRIXLE_LAB_ENV}$" "${BRIXLE_LAB_LAN_ENV}")
        list(TRANSFORM fixtures APPEND -lan)
    elseif(arg_LAN)
        return()
    endif()
    set(options "")
    foreach(option SERIAL HERE)
        if(arg_${option})
            list(APPEND options ${option})
        endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${arg_SOURCES})
    set_property(GLOBAL APPEND PROPERTY BRIXLE_GTEST_TARGETS ${target})
    foreach(source IN LISTS arg_SOURCES)
        brixle_gtest_cases("${source}" names parameterised)
        foreach(name IN LISTS names)
            if((arg_SUITE AND NOT name MATCHES "^${arg_SUITE}\\.") OR
               (arg_LAN AND name MATCHES "\\.Routed"))
                continue()
            endif()
            if(name IN_LIST parameterised)
                set(tests "")
                foreach(variant IN LISTS arg_VARIANTS)
                    list(APPEND tests "${name}/${variant}")
                endforeach()
            else()
                set(tests "${name}")
            endif()
            # The lab's own suites are those that send into it.
            set(test_locks ${locks})
            if(name MATCHES "^Lab")
                list(APPEND test_locks net)
            endif()
            set(cores ${arg_CORES})
            if(name MATCHES "^SoundMatch")
                set(cores 1)
            endif()
            if(arg_LAN)
                list(TRANSFORM test_locks REPLACE "^(net|wine)$" "\\1-lan")
            endif()
            if(tests)
                set_property(GLOBAL APPEND PROPERTY BRIXLE_GTESTS_${target} ${name})
            endif()
            foreach(test IN LISTS tests)
                set(filter ${test})
                if(name IN_LIST parameterised)
                    set(filter "*/${test}")
                endif()
                brixle_add_test(${prefix}${test} LABELS gtest ${arg_LABELS} LAUNCHER ${launcher}
                    FIXTURES ${fixtures} TIMEOUT ${arg_TIMEOUT} LOCKS ${test_locks} CORES ${cores} ${options}
                    COMMAND $<TARGET_FILE:${target}> --gtest_filter=${filter})
            endforeach()
        endforeach()
    endforeach()
endfunction()

# Every case compiled into a program that brixle_add_gtests registers is registered by one of its
# calls: a suite left out of every call (a new fixture of a program registered suite by suite, a
# TEST_P without VARIANTS) would compile and never run. Called once all are made.
function(brixle_check_gtests)
    get_property(targets GLOBAL PROPERTY BRIXLE_GTEST_TARGETS)
    list(REMOVE_DUPLICATES targets)
    foreach(target IN LISTS targets)
        get_property(registered GLOBAL PROPERTY BRIXLE_GTESTS_${target})
        get_target_property(sources ${target} SOURCES)
        get_target_property(dir ${target} SOURCE_DIR)
        foreach(source IN LISTS sources)
            cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${dir}")
            if(NOT source MATCHES "\\.cpp$")
                continue()
            endif()
            brixle_gtest_cases("${source}" names parameterised)
            foreach(name IN LISTS names)
                if(NOT name IN_LIST registered)
                    message(FATAL_ERROR "${source}: ${name} is built into ${target} but no "
                        "brixle_add_gtests call registers it, so it would never run: add its "
                        "suite (SUITE, or VARIANTS for a TEST_P) where ${target}'s are registered")
                endif()
            endforeach()
        endforeach()
    endforeach()
endfunction()
