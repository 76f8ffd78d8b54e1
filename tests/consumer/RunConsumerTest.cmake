# Installs the current build tree into a fresh prefix, checks what was installed (files,
# SONAME, exported symbols), then configures, builds and runs the consumer project against it.
#
# Run as a CTest test with `cmake -P`; the test registration passes:
#   KEST_BUILD_DIR      the library's build tree (what `cmake --install` installs)
#   KEST_WORK_DIR       scratch directory of this test; emptied first
#   KEST_CONSUMER_DIR   the consumer project's sources
#   KEST_LIBDIR         CMAKE_INSTALL_LIBDIR of the library's build, KEST_INCLUDEDIR likewise
#   KEST_GENERATOR, KEST_CXX_COMPILER, KEST_BUILD_TYPE, KEST_QT6_DIR
#   KEST_SANITIZE, KEST_WERROR  the options the library was built with
cmake_minimum_required(VERSION 3.16)

foreach(var KEST_BUILD_DIR KEST_WORK_DIR KEST_CONSUMER_DIR KEST_LIBDIR KEST_INCLUDEDIR
            KEST_GENERATOR KEST_CXX_COMPILER)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

# Runs a command; stops the test with its output when it fails.
function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out
                    ERROR_VARIABLE err)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${what} failed (${result}):\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${KEST_WORK_DIR}/prefix")
set(consumer_build "${KEST_WORK_DIR}/build")
file(REMOVE_RECURSE "${KEST_WORK_DIR}")
file(MAKE_DIRECTORY "${KEST_WORK_DIR}")

# ---- Install ------------------------------------------------------------------------------
set(install_config)
if(KEST_BUILD_TYPE)
    set(install_config --config "${KEST_BUILD_TYPE}")
endif()
run("cmake --install" "${CMAKE_COMMAND}" --install "${KEST_BUILD_DIR}" --prefix "${prefix}"
    ${install_config})

set(libdir "${prefix}/${KEST_LIBDIR}")
set(includedir "${prefix}/${KEST_INCLUDEDIR}/KestArchive")
foreach(installed
        "${libdir}/cmake/KestArchive/KestArchiveConfig.cmake"
        "${libdir}/cmake/KestArchive/KestArchiveConfigVersion.cmake"
        "${libdir}/cmake/KestArchive/KestArchiveTargets.cmake"
        "${libdir}/pkgconfig/KestArchive.pc")
    if(NOT EXISTS "${installed}")
        message(FATAL_ERROR "not installed: ${installed}")
    endif()
endforeach()
# The headers hold the API and nothing else: the engine's layers stay inside the library.
file(GLOB headers RELATIVE "${includedir}" "${includedir}/*")
list(SORT headers)
if(NOT headers STREQUAL "Archive.h;File.h;KestArchiveGlobal.h")
    message(FATAL_ERROR "installed headers are ${headers}, not Archive.h, File.h, KestArchiveGlobal.h")
endif()

# ---- The shared library: SONAME and exported symbols (ELF systems) ------------------------
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux")
    set(real_library "${libdir}/libKestArchive.so.1.0.0")
    foreach(file "${real_library}" "${libdir}/libKestArchive.so.1" "${libdir}/libKestArchive.so")
        if(NOT EXISTS "${file}")
            message(FATAL_ERROR "not installed: ${file}")
        endif()
    endforeach()

    find_program(READELF readelf)
    find_program(NM nm)
    if(NOT READELF OR NOT NM)
        message(FATAL_ERROR "readelf and nm (binutils) are needed to check the library")
    endif()
    run("readelf" "${READELF}" -d "${real_library}")
    if(NOT run_output MATCHES "Library soname: \\[libKestArchive\\.so\\.1\\]")
        message(FATAL_ERROR "the SONAME is not libKestArchive.so.1:\n${run_output}")
    endif()

    run("nm" "${NM}" -DC --defined-only "${real_library}")
    # One list element per line; brackets and semicolons in names must not split or join them.
    string(REPLACE ";" "<semicolon>" symbols "${run_output}")
    string(REPLACE "[" "<lb>" symbols "${symbols}")
    string(REPLACE "]" "<rb>" symbols "${symbols}")
    string(REPLACE "\n" ";" symbols "${symbols}")
    set(found_archive OFF)
    set(found_version OFF)
    set(found_file OFF)
    set(strangers)
    foreach(line IN LISTS symbols)
        if(NOT line MATCHES "^[0-9a-fA-F]* [A-Za-z] (.*)$")
            continue()
        endif()
        set(name "${CMAKE_MATCH_1}")
        string(REGEX REPLACE "^(vtable for |typeinfo for |typeinfo name for |VTT for |construction vtable for .* in |non-virtual thunk to |virtual thunk to |guard variable for )+" "" name "${name}")
        if(name MATCHES "^Kest::Ar::Archive::open\\(")
            set(found_archive ON)
        elseif(name MATCHES "^Kest::Ar::Archive::Version::Version\\(")
            set(found_version ON)
        elseif(name MATCHES "^Kest::Ar::File::open\\(")
            set(found_file ON)
        endif()
        # Everything exported belongs to one of the public classes: neither the engine's
        # layers nor the inline functions of Qt's classes that the library instantiates.
        if(NOT name MATCHES "^Kest::Ar::(Archive|File)(::|$)" AND
           NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
            list(APPEND strangers "${name}")
        endif()
    endforeach()
    if(NOT found_archive OR NOT found_version OR NOT found_file)
        message(FATAL_ERROR "exported classes are missing from the library's dynamic symbols "
                            "(Archive: ${found_archive}, Version: ${found_version}, "
                            "File: ${found_file})")
    endif()
    if(strangers)
        list(JOIN strangers "\n  " shown)
        message(FATAL_ERROR "internal symbols are exported:\n  ${shown}")
    endif()
endif()

# ---- Configure, build and run the consumer ------------------------------------------------
set(flags)
if(KEST_SANITIZE)
    # The library carries the sanitizers' runtime references; the host must link the runtime.
    set(flags
        "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-omit-frame-pointer"
        "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined")
endif()
if(KEST_QT6_DIR)
    list(APPEND flags "-DQt6_DIR=${KEST_QT6_DIR}")
endif()
if(KEST_BUILD_TYPE)
    list(APPEND flags "-DCMAKE_BUILD_TYPE=${KEST_BUILD_TYPE}")
endif()
set(werror OFF)
if(KEST_WERROR)
    set(werror ON)
endif()
run("configuring the consumer" "${CMAKE_COMMAND}" -S "${KEST_CONSUMER_DIR}" -B "${consumer_build}"
    -G "${KEST_GENERATOR}" "-DCMAKE_CXX_COMPILER=${KEST_CXX_COMPILER}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DKEST_EXPECTED_PREFIX=${prefix}"
    "-DKEST_CONSUMER_WERROR=${werror}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
    ${flags})
run("building the consumer" "${CMAKE_COMMAND}" --build "${consumer_build}" ${install_config})

set(program "${consumer_build}/kest_consumer")
if(NOT EXISTS "${program}" AND KEST_BUILD_TYPE)
    set(program "${consumer_build}/${KEST_BUILD_TYPE}/kest_consumer")
endif()
run("running the consumer" "${program}")
message(STATUS "${run_output}")
