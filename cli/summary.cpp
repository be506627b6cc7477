#include "cli/summary.h"

#include <cstdio>
#include <numeric>

#include "util/text.h"

namespace pluvane::cli {

void PrintSummary(const RenderPlan& plan, const RenderSummary& summary, const std::string& audio_note, std::ostream& out) {
  const RenderOptions& o = plan.options;
  const FrameSpan& frames = plan.frames;
  const Rational& fps = plan.fps;
  const bool video_out = plan.video_out;
  const std::string size = std::to_string(summary.width) + "x" + std::to_string(summary.height);
  if (!plan.created_folder.empty()) out << "created folder " << text::Quoted(plan.created_folder) << "\n";
  const std::string kept =
      summary.skipped ? " " + std::to_string(summary.skipped) + " complete frame(s) already there were left as they are" : "";
  if (video_out)
    out << "wrote " << o.output << ": " << summary.video_frames << " frame(s) " << frames.first << "-"
        << frames.first + summary.video_frames - 1 << " at " << fps.num << (fps.den != 1 ? "/" + std::to_string(fps.den) : "")
        << " fps (" << size << ", " << summary.description << ")" << (audio_note.empty() ? "" : "; " + audio_note)
        << (plan.conform_note.empty() ? "" : "; " + plan.conform_note) << "\n";
  else if (summary.files.size() == 1)
    out << "wrote " << summary.files[0] << " (" << size << ", " << summary.description << ")" << (kept.empty() ? "" : ";")
        << kept << (plan.conform_note.empty() ? "" : "; " + plan.conform_note) << "\n";
  else
    out << "wrote " << summary.files.size() << " frames, " << summary.files.front() << " to " << summary.files.back()
        << " (" << size << ", " << summary.description << ")" << (kept.empty() ? "" : ";") << kept
        << (plan.conform_note.empty() ? "" : "; " + plan.conform_note) << "\n";
}

void PrintStats(const RenderPlan& plan, const RenderSummary& summary, double wall, std::ostream& out) {
  const std::vector<int>& order = plan.order;
  char line[200];
  const size_t count = summary.frame_ms.size();
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "frame %d: %.1f ms\n", order[i], summary.frame_ms[i]);
    out << line;
  }
  const double render_s = std::accumulate(summary.frame_ms.begin(), summary.frame_ms.end(), 0.0) / 1000.0;
  const double mpix = static_cast<double>(summary.width) * summary.height * count / 1e6;
  std::snprintf(line, sizeof line,
                "%zu frame(s) in %.2f s, %.2f frames/s overall (rendering %.2f s: %.2f frames/s, %.2f megapixels/s "
                "rendered)\n",
                count, wall, wall > 0 ? count / wall : 0.0, render_s, render_s > 0 ? count / render_s : 0.0,
                render_s > 0 ? mpix / render_s : 0.0);
  out << line;
  if (plan.footage.kind == Footage::Kind::kVideo || plan.video_out) {
    // The reader and writer run on their own threads beside the render: their
    // times overlap it, and the slowest of the three sets the pace.
    std::snprintf(line, sizeof line, "reading input %.2f s, rendering %.2f s, writing output %.2f s (side by side)\n",
                  summary.read_s, render_s, summary.write_s);
    out << line;
  }
}

}  // namespace pluvane::cli
