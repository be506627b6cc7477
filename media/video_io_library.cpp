// The entry point of pluvane_video_io.so: the table of what it provides.
#include "media/io_module.h"
#include "media/layer_limits.h"

namespace pluvane::media {
namespace {

const VideoIo kVideoIo{OpenVideoFile, CreateVideoFile, SetMaxLayerMegapixels};

}  // namespace
}  // namespace pluvane::media

extern "C" __attribute__((visibility("default"))) const pluvane::media::VideoIo* pluvane_video_io() {
  return &pluvane::media::kVideoIo;
}
