# The publisher's suite uses the tools' library.
if(TARGET tst_publish)
    target_link_libraries(tst_publish PRIVATE publishcore)
endif()

# End-to-end tests against the real launcher and the local content stack.
add_subdirectory(e2e)
# Kills and server faults against the real launcher.
add_subdirectory(chaos)
