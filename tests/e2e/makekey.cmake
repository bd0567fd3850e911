# Makes a fresh content signing key for the end-to-end suite and the header
# that builds its public key into the suite's launcher. Run at build time, so
# that no secret key ever lives in the sources.
#   PUBLISH   the drevna-publish program
#   KEY       the secret key file to make (an old one is replaced)
#   TEMPLATE  src/buildcontentkeys.h.in
#   HEADER    the header to write
file(REMOVE "${KEY}")
get_filename_component(key_dir "${KEY}" DIRECTORY)
file(MAKE_DIRECTORY "${key_dir}")
execute_process(COMMAND "${PUBLISH}" keygen "${KEY}"
                OUTPUT_VARIABLE DREVNA_CONTENT_PUBKEYS
                RESULT_VARIABLE result
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT DREVNA_CONTENT_PUBKEYS MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "drevna-publish keygen failed (${result})")
endif()
configure_file("${TEMPLATE}" "${HEADER}" @ONLY)
