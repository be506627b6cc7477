// The entry point of pluvane_image_io.so: the table of what it provides.
#include "media/io_module.h"
#include "media/layer_limits.h"

namespace pluvane::media {
namespace {

const ImageIo kImageIo{OiioReadImageFile, OiioReadImageHeader, OiioWriteImageFile, OiioWritePackedFile,
                       SetMaxLayerMegapixels};

}  // namespace
}  // namespace pluvane::media

extern "C" __attribute__((visibility("default"))) const pluvane::media::ImageIo* pluvane_image_io() {
  return &pluvane::media::kImageIo;
}
