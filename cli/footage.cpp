#include "cli/footage.h"

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

FileImage Footage::Read(int frame) {
  if (kind == Kind::kSequence) return sequence->Read(frame);
  return video->Read(frame);
}

void Footage::OpenSequence(FrameSpan frames) {
  sequence = std::make_unique<SequenceReader>([p = pattern](int f) { return p.FileFor(f); }, frames.first, frames.last);
  width = sequence->header().width;
  height = sequence->header().height;
  type = sequence->header().type;
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
      if (auto id = IdOf(o.input)) f.files.insert(*id);
    } else {
      f.still = ReadImageFile(o.input);
      if (auto id = IdOf(o.input)) f.files.insert(*id);
    }
  }
  if (f.kind == Footage::Kind::kStill) {
    f.width = f.still.width;
    f.height = f.still.height;
    f.type = f.still.type;
  }
  return f;
}

}  // namespace pluvane::cli
