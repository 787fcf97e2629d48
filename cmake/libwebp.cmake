# libwebp's decoder and demuxer, linked into ifsyscodec.spi: built static for
# this tree's width from Debian's source package, which
# scripts/fetch-sources.sh puts in build/deps. Its own build files build the
# decoder library alone (no encoder, no tools, no threads: a decode runs on
# its caller's thread and starts none); the demuxer, which reads a file's
# chunks and an animation's first frame, is two files compiled here, as its
# own target would pull the encoder in.
set(OVILUNE_LIBWEBP_SOURCE "${CMAKE_SOURCE_DIR}/build/deps/libwebp-1.2.4"
    CACHE PATH "libwebp's unpacked and checked source")
if(NOT EXISTS "${OVILUNE_LIBWEBP_SOURCE}/.ovilune-verified")
    message(FATAL_ERROR "libwebp's source is not in ${OVILUNE_LIBWEBP_SOURCE}: "
                        "run scripts/fetch-sources.sh (make does)")
endif()

include(ExternalProject)
get_filename_component(OVILUNE_TOOLCHAIN "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
set(LIBWEBP_DIR ${CMAKE_BINARY_DIR}/libwebp)
set(LIBWEBP_LIBRARY ${LIBWEBP_DIR}/lib/libwebpdecoder.a)
ExternalProject_Add(libwebp_build
    PREFIX ${LIBWEBP_DIR}
    SOURCE_DIR ${OVILUNE_LIBWEBP_SOURCE}
    BINARY_DIR ${LIBWEBP_DIR}/build
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${OVILUNE_TOOLCHAIN}
        -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX=${LIBWEBP_DIR}/unused
        -DBUILD_SHARED_LIBS=OFF
        -DWEBP_ENABLE_SIMD=ON
        -DWEBP_USE_THREAD=OFF
        -DWEBP_BUILD_ANIM_UTILS=OFF
        -DWEBP_BUILD_CWEBP=OFF
        -DWEBP_BUILD_DWEBP=OFF
        -DWEBP_BUILD_GIF2WEBP=OFF
        -DWEBP_BUILD_IMG2WEBP=OFF
        -DWEBP_BUILD_VWEBP=OFF
        -DWEBP_BUILD_WEBPINFO=OFF
        -DWEBP_BUILD_LIBWEBPMUX=OFF
        -DWEBP_BUILD_WEBPMUX=OFF
        -DWEBP_BUILD_EXTRAS=OFF
        # Source paths that name neither checkout: two builds give one result.
        # Its allocations are bounded well below what a 32-bit process has.
        "-DCMAKE_C_FLAGS=-DWEBP_MAX_ALLOCABLE_MEMORY=1073741824ULL -ffile-prefix-map=${OVILUNE_LIBWEBP_SOURCE}=libwebp -ffile-prefix-map=${LIBWEBP_DIR}=libwebp"
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target webpdecoder
    INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${LIBWEBP_DIR}/lib
        COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/libwebpdecoder.a ${LIBWEBP_DIR}/lib/
    BUILD_BYPRODUCTS ${LIBWEBP_LIBRARY}
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_OUTPUT_ON_FAILURE ON
)
add_library(webp_decoder STATIC IMPORTED GLOBAL)
set_target_properties(webp_decoder PROPERTIES
    IMPORTED_LOCATION ${LIBWEBP_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${OVILUNE_LIBWEBP_SOURCE}/src)
add_dependencies(webp_decoder libwebp_build)

add_library(webp_demux STATIC
    ${OVILUNE_LIBWEBP_SOURCE}/src/demux/demux.c
    ${OVILUNE_LIBWEBP_SOURCE}/src/demux/anim_decode.c)
target_include_directories(webp_demux PRIVATE ${OVILUNE_LIBWEBP_SOURCE})
target_compile_options(webp_demux PRIVATE -O2 -w "-DWEBP_MAX_ALLOCABLE_MEMORY=1073741824ULL"
    -ffile-prefix-map=${OVILUNE_LIBWEBP_SOURCE}=libwebp)
target_link_libraries(webp_demux PUBLIC webp_decoder)
