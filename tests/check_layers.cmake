# Fails when an include runs against the tree's layers:
#   files under module/ include no server's header (zbuf/ zload/ zsave/
#   zcomp/ servers/), and
#   only zhost/running/ includes the host headers that load and drive the
#   module; the rest of zhost sees images and frames.
# cmake -DROOT=SOURCE_DIR -P check_layers.cmake
set(failures "")
function(check_includes files pattern rule)
  foreach(file IN LISTS files)
    file(STRINGS "${file}" lines REGEX "^#include \"(${pattern})")
    foreach(line IN LISTS lines)
      file(RELATIVE_PATH name "${ROOT}" "${file}")
      list(APPEND failures "${name}: ${line} (${rule})")
    endforeach()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

file(GLOB contract "${ROOT}/module/*.h" "${ROOT}/module/*.cpp")
check_includes("${contract}" "zbuf/|zload/|zsave/|zcomp/|servers/" "module/ is the ground floor")
file(GLOB_RECURSE zhost "${ROOT}/zhost/*.h" "${ROOT}/zhost/*.cpp")
list(FILTER zhost EXCLUDE REGEX "/zhost/running/")
check_includes("${zhost}"
  "host/(module_host|image_filter|pixel_filter|image_loader|panel|file_requester|filter_session|instance)\\.h"
  "only zhost/running/ drives the module")
if(failures)
  list(JOIN failures "\n" text)
  message(FATAL_ERROR "${text}")
endif()
