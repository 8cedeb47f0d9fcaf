# The codec libraries of the Windows build: static libraries under UNSPOOL_CODEC_PREFIX
# (include/, lib/), as scripts/build-mingw-codecs leaves them. Each one found becomes the
# imported target unspool_mingw_<codec>, and UNSPOOL_HAVE_<codec> says whether it was.
# Their headers declare DLL imports unless told the library is linked in statically; the
# definitions that say so go with the target to every source that includes them.
set(UNSPOOL_CODEC_PREFIX "" CACHE PATH
  "Prefix of the static codec libraries of the Windows build (scripts/build-mingw-codecs)")

# unspool_mingw_codec(CODEC HEADER LIBRARY [DEFINITION...])
function(unspool_mingw_codec codec header library)
  set(UNSPOOL_HAVE_${codec} 0 PARENT_SCOPE)
  if(NOT UNSPOOL_CODEC_PREFIX)
    return()
  endif()
  # Searched in the prefix alone: the toolchain's root path must not be put in front of it.
  find_path(UNSPOOL_${codec}_INCLUDE_DIR ${header} PATHS ${UNSPOOL_CODEC_PREFIX}/include
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(UNSPOOL_${codec}_LIBRARY NAMES lib${library}.a PATHS ${UNSPOOL_CODEC_PREFIX}/lib
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT UNSPOOL_${codec}_INCLUDE_DIR OR NOT UNSPOOL_${codec}_LIBRARY)
    return()
  endif()
  string(TOLOWER ${codec} name)
  add_library(unspool_mingw_${name} STATIC IMPORTED)
  set_target_properties(unspool_mingw_${name} PROPERTIES
    IMPORTED_LOCATION ${UNSPOOL_${codec}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${UNSPOOL_${codec}_INCLUDE_DIR}
    INTERFACE_COMPILE_DEFINITIONS "${ARGN}")
  set(UNSPOOL_${codec}_TARGET unspool_mingw_${name} PARENT_SCOPE)
  set(UNSPOOL_HAVE_${codec} 1 PARENT_SCOPE)
endfunction()

# lzma.h declares its functions dllimport unless LZMA_API_STATIC is defined; bzlib.h and
# zstd.h declare plain ones unless asked for a DLL (BZ_IMPORT, ZSTD_DLL_IMPORT).
unspool_mingw_codec(BZIP2 bzlib.h bz2)
unspool_mingw_codec(LZMA lzma.h lzma LZMA_API_STATIC)
unspool_mingw_codec(ZSTD zstd.h zstd)
