# xdelta3 is built from the distribution's source package that scripts/setup
# unpacks into third_party/; only the library part of xdelta3.c is compiled.
set(XDELTA3_DIR "${CMAKE_SOURCE_DIR}/third_party/xdelta3")
if(NOT EXISTS "${XDELTA3_DIR}/xdelta3.c")
    message(FATAL_ERROR "xdelta3 sources missing in ${XDELTA3_DIR}: run scripts/setup")
endif()

add_library(xdelta3 STATIC "${XDELTA3_DIR}/xdelta3.c")
target_include_directories(xdelta3 SYSTEM PUBLIC "${XDELTA3_DIR}")
# These change the library's structures, so users of xdelta3.h must see them too.
target_compile_definitions(xdelta3 PUBLIC
    XD3_USE_LARGEFILE64=1
    SIZEOF_SIZE_T=8
    SIZEOF_UNSIGNED_LONG=8
    SIZEOF_UNSIGNED_LONG_LONG=8
    SECONDARY_DJW=1
    SECONDARY_FGK=1
    SECONDARY_LZMA=0
    XD3_ENCODER=1
    XD3_DEBUG=0
    PRIVATE
    XD3_MAIN=0
    EXTERNAL_COMPRESSION=0)
target_compile_options(xdelta3 PRIVATE -w -O2)
set_target_properties(xdelta3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
# Its hash and instruction readers load unaligned words on purpose.
if(DREVNA_ASAN OR DREVNA_FUZZ)
    target_compile_options(xdelta3 PRIVATE -fno-sanitize=alignment)
endif()
