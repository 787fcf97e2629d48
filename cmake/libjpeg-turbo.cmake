# libjpeg-turbo, linked into ifsyscodec.spi: built static for this tree's
# width from Debian's source package, which scripts/fetch-sources.sh
# puts in build/deps (two build trees of one checkout share it). Its own
# build files are used as they are; only the library target is built, and
# what we link is copied out of its tree: its install step would build the
# command-line tools too.
set(OVILUNE_LIBJPEG_SOURCE "${CMAKE_SOURCE_DIR}/build/deps/libjpeg-turbo-2.1.5"
    CACHE PATH "libjpeg-turbo's unpacked and checked source")
if(NOT EXISTS "${OVILUNE_LIBJPEG_SOURCE}/.ovilune-verified")
    message(FATAL_ERROR "libjpeg-turbo's source is not in ${OVILUNE_LIBJPEG_SOURCE}: "
                        "run scripts/fetch-sources.sh (make does)")
endif()

include(ExternalProject)
get_filename_component(OVILUNE_TOOLCHAIN "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
set(LIBJPEG_DIR ${CMAKE_BINARY_DIR}/libjpeg-turbo)
set(LIBJPEG_LIBRARY ${LIBJPEG_DIR}/lib/libjpeg.a)
ExternalProject_Add(libjpeg_turbo_build
    PREFIX ${LIBJPEG_DIR}
    SOURCE_DIR ${OVILUNE_LIBJPEG_SOURCE}
    BINARY_DIR ${LIBJPEG_DIR}/build
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${OVILUNE_TOOLCHAIN}
        -DCMAKE_BUILD_TYPE=Release
        # Never installed; its configuration only wants a place it could be.
        -DCMAKE_INSTALL_PREFIX=${LIBJPEG_DIR}/unused
        -DENABLE_SHARED=OFF
        -DENABLE_STATIC=ON
        -DWITH_TURBOJPEG=OFF
        -DREQUIRE_SIMD=ON
        -DWITH_ARITH_DEC=ON
        -DWITH_ARITH_ENC=ON
        # The version text carries a build string, the date by default: a
        # fixed one keeps two builds of one commit byte for byte the same,
        # and so does a source path that names neither checkout.
        -DBUILD=debian
        "-DCMAKE_C_FLAGS=-ffile-prefix-map=${OVILUNE_LIBJPEG_SOURCE}=libjpeg-turbo -ffile-prefix-map=${LIBJPEG_DIR}=libjpeg-turbo"
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target jpeg-static
    INSTALL_COMMAND ${CMAKE_COMMAND} -E make_directory ${LIBJPEG_DIR}/lib ${LIBJPEG_DIR}/include
        COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/libjpeg.a ${LIBJPEG_DIR}/lib/
        COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/jconfig.h ${OVILUNE_LIBJPEG_SOURCE}/jpeglib.h
                ${OVILUNE_LIBJPEG_SOURCE}/jmorecfg.h ${OVILUNE_LIBJPEG_SOURCE}/jerror.h ${LIBJPEG_DIR}/include/
    BUILD_BYPRODUCTS ${LIBJPEG_LIBRARY}
    # Its configure and build lines are many; they say nothing unless it fails.
    LOG_CONFIGURE ON
    LOG_BUILD ON
    LOG_OUTPUT_ON_FAILURE ON
)
file(MAKE_DIRECTORY ${LIBJPEG_DIR}/include)
add_library(jpeg_turbo STATIC IMPORTED GLOBAL)
set_target_properties(jpeg_turbo PROPERTIES
    IMPORTED_LOCATION ${LIBJPEG_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${LIBJPEG_DIR}/include)
add_dependencies(jpeg_turbo libjpeg_turbo_build)
