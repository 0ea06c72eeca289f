# The release zip: the 32-bit and the 64-bit program, each in its own folder beside its six
# effect files (the program opens them from its current directory), with the README and licence.
# scripts/package.sh installs both builds into one folder and makes the zip from it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(BRIXLE_PROGRAM_DIR x64)
else()
    set(BRIXLE_PROGRAM_DIR x86)
endif()
set(BRIXLE_EFFECTS_INSTALL_DIR "${BRIXLE_PROGRAM_DIR}" CACHE STRING "" FORCE)

install(TARGETS brixle100 RUNTIME DESTINATION "${BRIXLE_PROGRAM_DIR}")
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION .)

# The zip's name (and its top folder) carries the project's version.
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/package-name.txt"
     CONTENT "brixle100-${PROJECT_VERSION}-windows\n")
