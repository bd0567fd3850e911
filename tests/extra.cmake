# The publisher's suite and the signed-content table use the tools' library.
foreach(suite tst_publish tst_signedcontent)
    if(TARGET ${suite})
        target_link_libraries(${suite} PRIVATE publishcore)
    endif()
endforeach()

# End-to-end tests against the real launcher and the local content stack.
add_subdirectory(e2e)
# Kills and server faults against the real launcher.
add_subdirectory(chaos)
