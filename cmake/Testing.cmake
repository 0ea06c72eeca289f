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
    foreach(source IN LISTS arg_SOURCES)
        file(STRINGS "${source}" declarations REGEX "^TEST(_F|_P)?\\(")
        foreach(declaration IN LISTS declarations)
            string(REGEX REPLACE "^TEST(_F|_P)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\).*" "\\2.\\3"
                name "${declaration}")
            if((arg_SUITE AND NOT name MATCHES "^${arg_SUITE}\\.") OR
               (arg_LAN AND name MATCHES "\\.Routed"))
                continue()
            endif()
            if(declaration MATCHES "^TEST_P")
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
            foreach(test IN LISTS tests)
                set(filter ${test})
                if(declaration MATCHES "^TEST_P")
                    set(filter "*/${test}")
                endif()
                brixle_add_test(${prefix}${test} LABELS gtest ${arg_LABELS} LAUNCHER ${launcher}
                    FIXTURES ${fixtures} TIMEOUT ${arg_TIMEOUT} LOCKS ${test_locks} CORES ${cores} ${options}
                    COMMAND $<TARGET_FILE:${target}> --gtest_filter=${filter})
            endforeach()
        endforeach()
    endforeach()
endfunction()
