# OpenImageIO for zhost and the format plug-in.
find_package(OpenImageIO CONFIG REQUIRED)

# Debian's OpenImageIO package names include directories of optional
# dependencies (OpenCV) that need not be installed; keep those that exist.
foreach(oiio_target OpenImageIO::OpenImageIO OpenImageIO::OpenImageIO_Util)
  get_target_property(oiio_dirs ${oiio_target} INTERFACE_INCLUDE_DIRECTORIES)
  if(oiio_dirs)
    set(oiio_existing)
    foreach(dir IN LISTS oiio_dirs)
      if(EXISTS "${dir}")
        list(APPEND oiio_existing "${dir}")
      endif()
    endforeach()
    set_target_properties(${oiio_target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${oiio_existing}")
  endif()
endforeach()
