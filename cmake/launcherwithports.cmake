# A launcher program that differs from `launcher` only in its addresses: the
# ones of a loopback content stack on PORTS ("A,B,PORTAL,TRACKING"). The
# addresses live in the build configuration alone: that one file is compiled
# again against its own addresses header and linked ahead of the library, so
# the library's copy of it is never pulled in.
# With KEY, the program also carries the public half of a signing key made at
# build time into that file (its own copy of the key constant, linked ahead
# of the library like the addresses); the suite signs with the secret one.
function(add_launcher_with_ports target ports)
    cmake_parse_arguments(arg "" "KEY" "" ${ARGN})
    string(REPLACE "," ";" port_list "${ports}")
    list(GET port_list 0 port_a)
    list(GET port_list 1 port_b)
    list(GET port_list 2 port_portal)
    list(GET port_list 3 port_tracking)
    set(DREVNA_CONTENT_BASE_A "http://127.0.0.1:${port_a}/")
    set(DREVNA_CONTENT_BASE_B "http://127.0.0.1:${port_b}/")
    set(DREVNA_PORTAL_HOST "http://127.0.0.1:${port_portal}")
    set(DREVNA_TRACKING_HOST "http://127.0.0.1:${port_tracking}")
    set(generated "${CMAKE_CURRENT_BINARY_DIR}/${target}-generated")
    configure_file("${CMAKE_SOURCE_DIR}/src/buildaddresses.h.in"
                   "${generated}/buildaddresses.h" @ONLY)
    add_library(${target}_channel OBJECT "${CMAKE_SOURCE_DIR}/src/base/buildconfig.cpp")
    target_include_directories(${target}_channel BEFORE PRIVATE "${generated}")
    target_link_libraries(${target}_channel PRIVATE drevna)
    set(objects $<TARGET_OBJECTS:${target}_channel>)
    if(arg_KEY)
        set(keys_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}-keys")
        add_custom_command(OUTPUT "${keys_dir}/buildcontentkeys.h"
            COMMAND "${CMAKE_COMMAND}" "-DPUBLISH=$<TARGET_FILE:drevna-publish>" "-DKEY=${arg_KEY}"
                    "-DTEMPLATE=${CMAKE_SOURCE_DIR}/src/buildcontentkeys.h.in"
                    "-DHEADER=${keys_dir}/buildcontentkeys.h"
                    -P "${CMAKE_SOURCE_DIR}/tests/e2e/makekey.cmake"
            DEPENDS drevna-publish "${CMAKE_SOURCE_DIR}/tests/e2e/makekey.cmake"
            COMMENT "Making the content signing key of ${target}")
        add_library(${target}_keys OBJECT "${CMAKE_SOURCE_DIR}/src/services/contentkeys.cpp"
                    "${keys_dir}/buildcontentkeys.h")
        target_include_directories(${target}_keys BEFORE PRIVATE "${keys_dir}")
        target_link_libraries(${target}_keys PRIVATE drevna)
        list(APPEND objects $<TARGET_OBJECTS:${target}_keys>)
    endif()
    add_executable(${target} WIN32 "${CMAKE_SOURCE_DIR}/src/app/main_launcher.cpp" ${objects})
    target_link_libraries(${target} PRIVATE drevna)
endfunction()
