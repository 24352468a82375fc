# The executable's manifest and version resource, made from the project's version, the
# MSI's maker and the commit the sources come from, so that none is typed twice.

# tools/release builds from `git archive`, which has no history, and passes the commit.
set(LAUNCHBRIGHTLOOM_COMMIT "" CACHE STRING
    "Commit the sources come from, 40 hex digits; empty asks git for the checkout's HEAD")

# The commit for the version resource: the one given, else the checkout's HEAD when
# configured, else "unknown" (sources outside a git checkout of their own).
function(launchbrightloom_commit out)
    if(LAUNCHBRIGHTLOOM_COMMIT)
        string(LENGTH "${LAUNCHBRIGHTLOOM_COMMIT}" length)
        if(NOT LAUNCHBRIGHTLOOM_COMMIT MATCHES "^[0-9a-f]+$" OR NOT length EQUAL 40)
            message(FATAL_ERROR "LAUNCHBRIGHTLOOM_COMMIT is not a commit: ${LAUNCHBRIGHTLOOM_COMMIT}")
        endif()
        set(${out} "${LAUNCHBRIGHTLOOM_COMMIT}" PARENT_SCOPE)
        return()
    endif()
    set(${out} unknown PARENT_SCOPE)
    find_program(GIT_COMMAND git)
    if(NOT GIT_COMMAND)
        return()
    endif()
    # Sources unpacked inside some other repository are not that repository's HEAD.
    execute_process(COMMAND ${GIT_COMMAND} -C ${CMAKE_SOURCE_DIR} rev-parse --show-toplevel HEAD
                    OUTPUT_VARIABLE answer ERROR_QUIET RESULT_VARIABLE failed
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(failed)
        return()
    endif()
    string(REPLACE "\n" ";" answer "${answer}")
    list(GET answer 0 top)
    list(GET answer 1 head)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${CMAKE_SOURCE_DIR}" source)
    if(NOT top STREQUAL source)
        return()
    endif()
    set(${out} "${head}" PARENT_SCOPE)
    # A new commit or another checkout configures again, so that the build names it.
    execute_process(COMMAND ${GIT_COMMAND} -C ${CMAKE_SOURCE_DIR} symbolic-ref -q HEAD
                    OUTPUT_VARIABLE branch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(paths --git-path HEAD --git-path packed-refs)
    if(branch)
        list(APPEND paths --git-path ${branch})
    endif()
    execute_process(COMMAND ${GIT_COMMAND} -C ${CMAKE_SOURCE_DIR} rev-parse --path-format=absolute ${paths}
                    OUTPUT_VARIABLE files ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" files "${files}")
    foreach(file IN LISTS files)
        if(EXISTS "${file}")
            set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
        endif()
    endforeach()
endfunction()

launchbrightloom_commit(LAUNCHBRIGHTLOOM_COMMIT_ID)
set(LAUNCHBRIGHTLOOM_PRODUCT_VERSION "${PROJECT_VERSION}+${LAUNCHBRIGHTLOOM_COMMIT_ID}")

# The maker the MSI names is the one the executable names.
set(wxs ${CMAKE_SOURCE_DIR}/packaging/LaunchBrightloom.wxs)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${wxs})
file(STRINGS ${wxs} manufacturer REGEX " Manufacturer=\"[^\"]+\"" LIMIT_COUNT 1)
if(NOT manufacturer MATCHES " Manufacturer=\"([^\"]+)\"")
    message(FATAL_ERROR "No Manufacturer in ${wxs}")
endif()
set(LAUNCHBRIGHTLOOM_COMPANY "${CMAKE_MATCH_1}")
set(LAUNCHBRIGHTLOOM_DESCRIPTION "Headless launcher of Velmora Brightloom")
set(LAUNCHBRIGHTLOOM_COPYRIGHT "Copyright (C) ${LAUNCHBRIGHTLOOM_COMPANY}")

set(version_tweak 0)
if(PROJECT_VERSION_TWEAK)
    set(version_tweak ${PROJECT_VERSION_TWEAK})
endif()
set(version_numbers
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${version_tweak}")
set(version_file
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${version_tweak}")

set(manifest ${CMAKE_BINARY_DIR}/res/launchbrightloom.manifest)
configure_file(${CMAKE_SOURCE_DIR}/res/launchbrightloom.manifest.in ${manifest} @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/res/launchbrightloom.rc.in
               ${CMAKE_BINARY_DIR}/res/launchbrightloom.rc @ONLY)
