# The release zip: the 32-bit and the 64-bit program, each in its own folder beside its six
# effect files (the program opens them from its current directory), with the README and licence.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(BRIXLE_PROGRAM_DIR x64)
else()
    set(BRIXLE_PROGRAM_DIR x86)
endif()
set(BRIXLE_EFFECTS_INSTALL_DIR "${BRIXLE_PROGRAM_DIR}" CACHE STRING "" FORCE)

install(TARGETS brixle100 RUNTIME DESTINATION "${BRIXLE_PROGRAM_DIR}")
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION .)

# Another build tree (the other architecture) whose install goes into the same zip.
set(BRIXLE_PACKAGE_WITH_BUILD "" CACHE PATH "Build folder of the other architecture to package too")

set(CPACK_PACKAGE_NAME "brixle100")
set(CPACK_PACKAGE_VENDOR "Brixle 100 developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sweeps a range of IPv4 addresses with pings and lists the hosts that answer")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "brixle100-${PROJECT_VERSION}-windows")
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};brixle100;ALL;/")
if(BRIXLE_PACKAGE_WITH_BUILD)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${BRIXLE_PACKAGE_WITH_BUILD};brixle100;ALL;/")
endif()
include(CPack)
