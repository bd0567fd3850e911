# A launcher program that differs from `launcher` only in its addresses: the
# ones of a loopback content stack on PORTS ("A,B,PORTAL,TRACKING"). The
# addresses live in the channel table alone: that one file is compiled again
# against its own addresses header and linked ahead of the library, so the
# library's copy of it is never pulled in.
function(add_launcher_with_ports target ports)
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
    add_library(${target}_channel OBJECT "${CMAKE_SOURCE_DIR}/src/app/channel.cpp")
    target_include_directories(${target}_channel BEFORE PRIVATE "${generated}")
    target_link_libraries(${target}_channel PRIVATE drevna)
    add_executable(${target} WIN32 "${CMAKE_SOURCE_DIR}/src/app/main_launcher.cpp"
                   $<TARGET_OBJECTS:${target}_channel>)
    target_link_libraries(${target} PRIVATE drevna)
endfunction()
