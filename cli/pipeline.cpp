#include "cli/pipeline.h"

#include <chrono>
#include <exception>
#include <thread>

#include "cli/cli_error.h"
#include "cli/interrupt.h"
#include "cli/plan.h"

namespace pluvane::cli {
namespace {

// Two frames in flight on each side of the render.
constexpr size_t kInFlight = 2;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The reader and writer threads around the render loop, joined on the way
// out of any error.
class Pipeline {
 public:
  Pipeline(RenderPlan& plan, FrameSink& sink, RenderSummary& summary, ProgressBar& bar)
      : plan_(plan), sink_(sink), summary_(summary), bar_(bar) {}
  ~Pipeline() {
    inputs_.Abandon();
    outputs_.Close();
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
  }

  void Start(bool read_footage) {
    if (read_footage) reader_ = std::thread([this] { ReadAll(); });
    writer_ = std::thread([this] { WriteAll(); });
  }

  // The next input frame into `input`; CliError when reading failed or stopped.
  void NextInput(int frame, PF_EffectWorld* input) {
    std::optional<Frame> layer = inputs_.Pop();
    if (!layer) {
      if (read_error_) {
        bar_.Finish();
        std::rethrow_exception(read_error_);
      }
      throw Interrupted(frame);
    }
    if (layer->image.rgba.empty()) {
      const PackedFrame& p = layer->packed;
      session::FillWorld(ViewOf(p), plan_.depth, input);
      packed_spent_.Give(std::move(layer->packed.bytes));
    } else {
      session::FillWorld(layer->image, input);
    }
  }

  // Hands a rendered frame to the writer; false when the writer failed.
  bool Output(int frame, const PF_EffectWorld* output) {
    if (const auto type = sink_.packed_type()) {
      Frame out{frame, {}, PackedFrame{0, 0, *type, spent_bytes_.Take()}};
      PackedFrame& p = out.packed;
      p.Resize(output->width, output->height, *type);
      session::ReadWorld(output, plan_.depth,
                         session::MutablePixelView{p.bytes.data(), static_cast<std::ptrdiff_t>(p.row_bytes()), p.width, p.height, p.type});
      return outputs_.Push(std::move(out));
    }
    return outputs_.Push(Frame{frame, session::ReadWorld(output, plan_.depth, spent_.Take()), {}});
  }

  // Ends the writer, finishing a video with what it holds.
  void Finish() {
    inputs_.Abandon();
    outputs_.Close();
    if (writer_.joinable()) writer_.join();
    if (write_error_) std::rethrow_exception(write_error_);
    const auto t0 = std::chrono::steady_clock::now();
    sink_.Finish();  // an encoder's last frames are encoded here
    summary_.write_s += Seconds(t0);
  }

  // The error of an interrupt at `frame`, once the output is finished.
  CliError Interrupted(int frame) {
    bar_.Finish();
    Finish();
    const std::string& output = plan_.options.output;
    const std::string kept =
        plan_.video_out ? (summary_.video_frames > 0 ? output + " holds the " + std::to_string(summary_.video_frames) +
                                                           " frame(s) rendered before it"
                                                     : "no frame was complete, so no video was written")
                        : "the " + std::to_string(summary_.files.size()) + " frame(s) written before it are kept";
    return CliError("interrupted at frame " + std::to_string(frame) + "; it was not written, " + kept, InterruptExitCode());
  }

 private:
  void ReadAll() {
    try {
      for (int f : plan_.order) {
        if (cli::Interrupted()) break;
        const auto t0 = std::chrono::steady_clock::now();
        Frame frame{f, {}, {}};
        FileImage floats;
        if (packed_input()) {
          frame.packed.bytes = packed_spent_.Take();
          if (!plan_.footage.ReadPacked(f, frame.packed, floats)) {
            packed_spent_.Give(std::move(frame.packed.bytes));
            frame.image = ToHost(std::move(floats), plan_.depth);
          }
        } else {
          frame.image = BoxDownsample(ToHost(plan_.footage.Read(f), plan_.depth), plan_.downsample);
        }
        summary_.read_s += Seconds(t0);
        if (!inputs_.Push(std::move(frame))) break;
      }
    } catch (...) {
      read_error_ = std::current_exception();
    }
    inputs_.Close();
  }

  void WriteAll() {
    try {
      while (auto frame = outputs_.Pop()) {
        const auto t0 = std::chrono::steady_clock::now();
        if (frame->image.rgba.empty()) spent_bytes_.Give(sink_.WritePacked(frame->number, std::move(frame->packed)));
        else spent_.Give(sink_.Write(frame->number, std::move(frame->image)));
        summary_.write_s += Seconds(t0);
      }
    } catch (...) {
      write_error_ = std::current_exception();
      outputs_.Abandon();
    }
  }

  RenderPlan& plan_;
  FrameSink& sink_;
  RenderSummary& summary_;
  ProgressBar& bar_;
  BoundedQueue<Frame> inputs_{kInFlight}, outputs_{kInFlight};
  // A video's frames, and an integer sequence's, go in as coded samples,
  // straight into the input world, unless they are downsampled first.
  bool packed_input() const {
    const Footage& footage = plan_.footage;
    return (footage.kind == Footage::Kind::kVideo ||
            (footage.kind == Footage::Kind::kSequence && footage.type != SampleType::kFloat)) &&
           plan_.downsample <= 1;
  }

  // Sample buffers handed back for the next frames: written outputs to the
  // render loop, rendered inputs to the reader (those in the queue, the one
  // being read and the one being rendered).
  SpentBuffers<float> spent_{kInFlight};
  SpentBuffers<uint8_t> spent_bytes_{kInFlight}, packed_spent_{kInFlight + 2};
  std::exception_ptr read_error_, write_error_;
  std::thread reader_, writer_;
};

}  // namespace

double RunPipeline(RenderPlan& plan, session::Session& effect, PF_EffectWorld* input, FrameSink& sink,
                   RenderSummary& summary, ProgressBar& bar) {
  const bool still = plan.footage.kind == Footage::Kind::kStill;
  Pipeline pipeline(plan, sink, summary, bar);
  pipeline.Start(/*read_footage=*/!still);
  effect.SetProgressListener([&bar](A_long current, A_long total) { bar.Within(current, total); });
  effect.SetWorkListener([&bar](minihost::MiniHost::Work work, A_long done, A_long total) { bar.HostWork(work, done, total); });
  InterruptGuard guard(&effect);
  const auto started = std::chrono::steady_clock::now();
  const int count = static_cast<int>(plan.order.size());
  for (int done = 0; done < count; ++done) {
    const int f = plan.order[done];
    if (cli::Interrupted()) throw pipeline.Interrupted(f);
    bar.StartFrame(f, done, count);
    if (!still) pipeline.NextInput(f, input);
    if (plan.matte && plan.matte->kind != Footage::Kind::kStill) effect.SetMatte(MatteFrame(plan, plan.matte->Read(f)));
    // A fresh output buffer per frame, as a host hands out.
    auto output = effect.NewOutputWorld(plan.depth);
    const auto t0 = std::chrono::steady_clock::now();
    const PF_Err e = effect.RenderFrame(f, input, output.get());
    summary.frame_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    if (cli::Interrupted() || e == PF_Interrupt_CANCEL) throw pipeline.Interrupted(f);
    if (e) {
      bar.Finish();
      throw CliError("the effect failed to render frame " + std::to_string(f) + " (" + session::ErrorWords(e) +
                         "); try fewer --threads or a smaller --downsample factor, or report it with the command you ran",
                     kExitRenderFailed);
    }
    if (!pipeline.Output(f, output.get())) break;  // the writer failed: Finish() says why
  }
  bar.Finish();
  pipeline.Finish();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace pluvane::cli
