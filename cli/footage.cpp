#include "cli/footage.h"

#include <algorithm>
#include <climits>
#include <filesystem>

#include "cli/cli_error.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace pluvane::cli {

using text::Quoted;

std::optional<FileId> IdOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

FileImage Footage::Read(int frame, std::vector<float> reuse) {
  if (kind == Kind::kSequence) return sequence->Read(frame);
  return video->Read(ClipFrameAt(frame), std::move(reuse));
}

bool Footage::ReadPacked(int frame, PackedFrame& into, FileImage& floats) {
  if (kind == Kind::kSequence) return sequence->Read(frame, into, floats);
  video->Read(ClipFrameAt(frame), into);
  return true;
}

namespace {
using Wide = __int128;
}  // namespace

bool Footage::Conform(Rational r) {
  if (kind != Kind::kVideo) return false;
  rate = r;
  const VideoInfo& info = video->info();
  // The frames that cover the clip's duration: duration × rate, to the nearest.
  const Wide num = Wide{info.duration} * info.time_base_num * r.num;
  const Wide den = Wide{info.time_base_den} * r.den;
  const Wide count = std::max<Wide>(1, (2 * num + den) / (2 * den));
  own = FrameSpan{0, static_cast<int>(std::min<Wide>(count, INT_MAX) - 1)};
  return info.variable_rate || Rational{info.fps_num, info.fps_den} != r || count != info.frames;
}

long long Footage::ClipFrameAt(long long frame) const {
  const VideoInfo& info = video->info();
  // Frame i is on screen at frame's time when times[i] × time base <= (frame + 1/2) / rate.
  const Wide limit = Wide{2 * frame + 1} * rate.den * info.time_base_den;
  const auto later = std::upper_bound(info.times.begin(), info.times.end(), limit, [&](const Wide& l, long long t) {
    return l < Wide{t} * 2 * info.time_base_num * rate.num;
  });
  return std::max<long long>(0, static_cast<long long>(later - info.times.begin()) - 1);
}

void Footage::OpenSequence(FrameSpan frames) {
  sequence = std::make_unique<SequenceReader>([p = pattern](int f) { return p.FileFor(f); }, frames.first, frames.last);
  width = sequence->header().width;
  height = sequence->header().height;
  type = sequence->header().type;
  color_space = sequence->header().color_space;
}

Footage OpenFootage(const RenderOptions& o) {
  Footage f;
  if (o.image) {
    f.still = *o.image;
  } else {
    if (o.input.empty()) throw CliError("no input image given; name one, like: pluvane render photo.png -o rain.png");
    f.pattern = ParseOutputPattern(o.input);
    if (f.pattern.has_pattern) {
      f.kind = Footage::Kind::kSequence;
      fs::path dir = fs::path(o.input).parent_path();
      if (dir.empty()) dir = ".";
      std::error_code ec;
      int first = INT_MAX, last = -1;
      for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto frame = FrameOfName(f.pattern, it->path().filename().string());
        if (!frame) continue;
        first = std::min(first, *frame);
        last = std::max(last, *frame);
        if (auto id = IdOf(it->path().string())) f.files.insert(*id);
      }
      if (last < 0)
        throw CliError("no files of the input sequence " + Quoted(o.input) + " were found in " + Quoted(dir.string()) +
                       "; check the name, the number of # (the digits of the frame number) and the folder");
      f.own = FrameSpan{first, last};
    } else if (IsVideoPath(o.input)) {
      f.kind = Footage::Kind::kVideo;
      f.video = std::make_unique<VideoReader>(o.input);
      const VideoInfo& info = f.video->info();
      f.own = FrameSpan{0, static_cast<int>(std::min<long long>(info.frames, INT_MAX) - 1)};
      f.fps = Rational{info.fps_num, info.fps_den};
      f.width = info.width;
      f.height = info.height;
      f.type = info.type();
      // A clip's RGB values keep its transfer: named for image outputs as OpenImageIO names them.
      f.color_space = info.transfer == 13 ? "sRGB" : info.transfer == 8 ? "Linear" : "Rec709";
      if (auto id = IdOf(o.input)) f.files.insert(*id);
    } else {
      ReadImageFile(o.input, f.still_codes, f.still);
      if (auto id = IdOf(o.input)) f.files.insert(*id);
    }
  }
  if (f.kind == Footage::Kind::kStill) {
    const bool coded = !f.still_codes.bytes.empty();
    f.width = coded ? f.still_codes.width : f.still.width;
    f.height = coded ? f.still_codes.height : f.still.height;
    f.type = coded ? f.still_codes.type : f.still.type;
    f.color_space = coded ? f.still_codes.color_space : f.still.color_space;
  }
  return f;
}

}  // namespace pluvane::cli
