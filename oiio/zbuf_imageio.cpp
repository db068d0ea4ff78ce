// The entry points OpenImageIO looks up in zbuf.imageio.so.
#include <OpenImageIO/imageio.h>

#include "obk_version.h"
#include "oiio/zbuf_imageio.h"

OIIO_PLUGIN_EXPORTS_BEGIN

OIIO_EXPORT int zbuf_imageio_version = OIIO_PLUGIN_VERSION;

OIIO_EXPORT const char* zbuf_imageio_library_version() { return "OBKzcomp " OBK_VERSION; }

OIIO_EXPORT OIIO::ImageInput* zbuf_input_imageio_create() { return new obk_oiio::ZbufInput; }

OIIO_EXPORT const char* zbuf_input_extensions[] = {"zb", nullptr};

OIIO_EXPORT OIIO::ImageOutput* zbuf_output_imageio_create() { return new obk_oiio::ZbufOutput; }

OIIO_EXPORT const char* zbuf_output_extensions[] = {"zb", nullptr};

OIIO_PLUGIN_EXPORTS_END
