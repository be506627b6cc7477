// The entry point of pluvane_media_io.so: the table of what it provides.
#include "media/io_module.h"
#include "media/layer_limits.h"

namespace pluvane::media {
namespace {

const MediaIo kMediaIo{OiioReadImageFile, OiioReadImageHeader, OiioWriteImageFile, OpenVideoFile, CreateVideoFile,
                       SetMaxLayerMegapixels};

}  // namespace
}  // namespace pluvane::media

extern "C" __attribute__((visibility("default"))) const pluvane::media::MediaIo* pluvane_media_io() {
  return &pluvane::media::kMediaIo;
}
