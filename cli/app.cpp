#include "cli/app.h"

#include <CLI/CLI.hpp>

#include <iostream>

#include "cli/controls.h"
#include "cli/demo.h"
#include "cli/cli_error.h"
#include "media/layer_limits.h"
#include "cli/progress.h"
#include "cli/render.h"
#include "cli/scene.h"
#include "session/error.h"
#include "util/text.h"
#include "util/version.h"

namespace pluvane::cli {
namespace {

// The layer `pluvane controls` and `pluvane about` describe the effect on.
constexpr int kControlsLayerWidth = 640, kControlsLayerHeight = 360;

constexpr const char* kRenderExamples = R"(
Examples:
  pluvane render photo.png -o rain.png --frame 24
  pluvane render photo.png -o rain.####.png --frames 0-89 --key "Ripple Height=0:100,60:20"
  pluvane render --scene shot.json
  pluvane render photo.exr -o preview.png --downsample 2 --set "Drip Rate=2"
  pluvane render photo.png -o shot/rain.####.exr --frames 0-239 --chunk 2/8 --skip-existing
  pluvane render clip.mp4 -o rain.mp4 --set "Drip Rate=2"
  pluvane render clip.mov -o rain.mov --frames 100-219 --depth 16
  pluvane render plate.####.exr -o rain.mkv
  pluvane render photo.png -o rain.mp4 --loop 2s --seed 7 --matte sky.png --mix 0.8
  pluvane render photo.png -o rain.gif --frames 0-47 --fps 24
)";

// The options of `render` as typed, before they are checked.
struct RenderArgs {
  std::string input, output, scene, fps, depth, quality, pixel_aspect, protocol, frame, frames, chunk;
  std::string seed, mix, matte, matte_channel, loop;
  bool matte_invert = false;
  int downsample = 1, threads = 0, crf = 18;
  double max_megapixels = kDefaultMaxMegapixels;
  std::vector<std::string> sets, keys;
  bool quiet = false, stats = false, skip_existing = false, no_audio = false;
};

// An option given once per value, each value one argument: the help shows
// "--set NAME=VALUE", and the option may be repeated.
void AddMulti(CLI::App* cmd, const std::string& name, std::vector<std::string>& into, const std::string& help) {
  cmd->add_option(name, into, help)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("NAME=VALUE")
      ->expected(1);
}

// `--set NAME VALUE` in two arguments, which the shell makes of an unquoted
// or half-quoted setting: the value would be taken for the input. Caught
// before parsing, with the one argument it should have been.
void CheckSettingsAreOneArgument(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string option = argv[i];
    if (option != "--set" && option != "--key") continue;
    const std::string name = argv[i + 1];
    if (name.find('=') != std::string::npos || (!name.empty() && name[0] == '-')) continue;
    const std::string example = option == "--set" ? "Drip Rate=2" : "Ripple Height=0:100,30:40";
    if (i + 2 < argc && argv[i + 2][0] != '-')
      throw CliError(option + " takes NAME=VALUE as one argument: did you mean " + option + " \"" + name + "=" +
                     argv[i + 2] + "\"?");
    throw CliError(option + " \"" + name + "\" is not NAME=VALUE; write it like " + option + " \"" + example + "\"");
  }
}

session::MatteChannel ParseMatteChannel(const std::string& text) {
  if (text == "auto") return session::MatteChannel::kAuto;
  if (text == "luma") return session::MatteChannel::kLuma;
  if (text == "alpha") return session::MatteChannel::kAlpha;
  throw CliError("--matte-channel \"" + text + "\" is unknown; use auto, luma or alpha");
}

Depth ParseDepth(const std::string& text) {
  if (text == "8") return Depth::k8;
  if (text == "16") return Depth::k16;
  if (text == "32") return Depth::k32;
  throw CliError("--depth \"" + text + "\" is not a depth; use 8, 16 or 32");
}

RenderOptions BuildRenderOptions(CLI::App* cmd, const RenderArgs& a) {
  RenderOptions o;
  const auto given = [cmd](const char* name) { return cmd->count(name) > 0; };
  if (given("--scene")) LoadScene(a.scene, o);  // the command line overrides it below
  if (given("input")) o.input = a.input;
  if (given("--output")) o.output = a.output;
  if (given("--frame")) {
    o.frame = ParseFrame(a.frame, "--frame");
    o.frames.reset();
  }
  if (given("--frames")) {
    o.frames = ParseFrameRange(a.frames, "--frames");
    o.frame.reset();
  }
  if (given("--chunk")) o.chunk = ParseChunk(a.chunk);
  if (given("--skip-existing")) o.skip_existing = a.skip_existing;
  if (given("--fps")) o.fps = session::ParseRate(a.fps, "--fps");
  if (given("--depth")) o.depth = ParseDepth(a.depth);
  if (given("--crf")) {
    if (a.crf < 0 || a.crf > 51) throw CliError("--crf " + std::to_string(a.crf) + " is outside 0..51; 18 looks lossless to most eyes, 23 is smaller");
    o.crf = a.crf;
  }
  if (given("--no-audio")) o.no_audio = a.no_audio;
  if (given("--quality")) {
    if (a.quality != "high" && a.quality != "draft") throw CliError("--quality \"" + a.quality + "\" is unknown; use high or draft");
    o.draft = a.quality == "draft";
  }
  if (given("--downsample")) {
    if (a.downsample < 1) throw CliError("--downsample must be 1 or more (2 renders at half resolution)");
    o.downsample = a.downsample;
  }
  if (given("--pixel-aspect")) o.pixel_aspect = session::ParseRatio(a.pixel_aspect, "--pixel-aspect");
  if (given("--protocol")) {
    if (a.protocol != "smart" && a.protocol != "classic")
      throw CliError("--protocol \"" + a.protocol + "\" is unknown; use smart or classic");
    o.protocol = a.protocol == "smart" ? minihost::Protocol::kSmart : minihost::Protocol::kClassic;
  }
  // A property of the machine, not of the shot, so not in a scene file: the
  // limit applies to every layer this process reads.
  if (given("--max-megapixels")) SetMaxLayerMegapixels(a.max_megapixels);
  if (given("--threads")) {
    if (a.threads < 0) throw CliError("--threads must be 0 (all cores) or more");
    o.threads = a.threads;
  }
  if (given("--seed")) o.seed = static_cast<int>(session::ParseHostControl(session::kSeed, a.seed, "--seed"));
  if (given("--mix")) o.mix = session::ParseHostControl(session::kMix, a.mix, "--mix");
  if (given("--matte")) o.matte = a.matte;
  if (given("--matte-invert")) o.matte_invert = a.matte_invert;
  if (given("--matte-channel")) o.matte_channel = ParseMatteChannel(a.matte_channel);
  if (given("--loop")) o.loop = a.loop;
  // Settings from the command line come after the scene's, so they win; keys after plain values.
  for (const std::string& s : a.sets) o.controls.push_back(session::ParseSetOption(s));
  for (const std::string& k : a.keys) o.controls.push_back(session::ParseKeyOption(k));
  o.quiet = a.quiet;
  o.stats = a.stats;
  o.progress = !a.quiet && IsTerminal(2);
  return o;
}

using text::OneLine;

// The `render` command and its options, read into `ra`.
CLI::App* AddRenderCommand(CLI::App& app, RenderArgs& ra) {
  CLI::App* render = app.add_subcommand("render", "Render frames of the effect over an image, an image sequence or a video");
  render->add_option("input", ra.input,
                     "Input: an image (PNG, TIFF, OpenEXR, JPEG), a sequence (plate.####.exr, plate.%04d.png) or a video "
                     "(.mp4, .mov, .mkv, .webm, .avi, ...)");
  render->add_option("-o,--output", ra.output,
                     "Output image or video; its extension picks the format: .png, .tif, .exr, .jpg, .dpx (images), "
                     ".mp4 (H.264), .mov (ProRes 4444), .mkv (FFV1), .webm (VP9, Opus), .gif, .webp, .apng (looping "
                     "animations). A frame range needs a pattern (rain.####.png, rain.%04d.exr) or a video or animation");
  auto* frame_opt = render->add_option("--frame", ra.frame, "Frame to render (default 0)");
  auto* frames_opt = render->add_option("--frames", ra.frames, "Frames A-B to render, inclusive");
  frame_opt->excludes(frames_opt);
  render->add_option("--chunk", ra.chunk,
                     "Render only part K of N near-equal parts of the frames, K counted from 0: "
                     "--chunk $SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT");
  render->add_flag("--skip-existing", ra.skip_existing,
                   "Leave output frames that are already complete as they are; render only the missing ones");
  render->add_option("--fps", ra.fps,
                     "Frame rate N or N/D (default: a video's own, else 30): frame f renders at time f x D in units of 1/N s");
  render->add_option("--depth", ra.depth, "Render depth 8, 16 or 32 (default: the input's own depth)");
  render->add_option("--crf", ra.crf,
                     "Quality of an .mp4, .webm or .webp output, 0 (lossless) to 51 (default 18); .webp: quality 100 - 2 x crf");
  render->add_flag("--no-audio", ra.no_audio, "Leave a video input's audio out of a video output");
  render->add_option("--quality", ra.quality, "high or draft (default high)");
  render->add_option("--downsample", ra.downsample, "Render at 1/N resolution, as a host's preview does");
  render->add_option("--pixel-aspect", ra.pixel_aspect, "Pixel aspect ratio, a ratio (10/11) or decimal (default 1)");
  render->add_option("--protocol", ra.protocol, "smart or classic: how the host asks for frames (default smart)");
  render->add_option("--threads", ra.threads, "Worker threads for the pixel loop (default 0: all cores)");
  render->add_option("--max-megapixels", ra.max_megapixels,
                     "Largest layer to take in, in megapixels (default 40: 8K fits); raise it when the machine has the memory");
  AddMulti(render, "--set", ra.sets, "Set a control by its name: \"Drip Rate=2\", \"Using=AE Lights\", \"Light Color=#ff8000\"");
  AddMulti(render, "--key", ra.keys, "Keyframes of a control, by frame: \"Ripple Height=0:100,30:40\"");
  render->add_option("--seed", ra.seed,
                     "Seed 0 to 63 (default 0): another rain with the same settings, as deterministic as seed 0")
      ->type_name("N");
  render->add_option("--mix", ra.mix, "Mix 0 to 1 (default 1): 0 is the layer as it is, 1 the effect's result")
      ->type_name("X");
  render->add_option("--matte", ra.matte,
                     "Matte: an image, a sequence or a video of the layer's size; the rain shows where it is white "
                     "(its alpha where it has transparency, its luma otherwise)")
      ->type_name("FILE");
  render->add_flag("--matte-invert", ra.matte_invert, "Invert the matte: the rain shows where it is black");
  render->add_option("--matte-channel", ra.matte_channel,
                     "What of the matte is read: auto (its alpha where it has transparency, else its luma), luma or "
                     "alpha (the layer itself as --matte with alpha: the layer's own alpha)");
  render->add_option("--loop", ra.loop,
                     "Make the rain a seamless loop of DURATION, frames (48) or seconds (2s); renders one turn unless "
                     "--frames says otherwise")
      ->type_name("DURATION");
  render->add_option("--scene", ra.scene, "Scene file (JSON) with the render's settings; flags override it");
  render->add_flag("-q,--quiet", ra.quiet, "Print nothing but errors");
  render->add_flag("--stats", ra.stats, "Print the render time of every frame and the throughput");
  render->footer(kRenderExamples);
  return render;
}

// The commands besides `render`, and what the parse gives each.
struct Commands {
  RenderArgs ra;
  CLI::App* render = nullptr;
  DemoOptions demo;
  std::string demo_frames;
  CLI::App* demo_cmd = nullptr;
  std::vector<std::string> control_sets;
  CLI::App* controls = nullptr;
  CLI::App* about = nullptr;
};

void AddOtherCommands(CLI::App& app, Commands& c) {
  c.demo_cmd = app.add_subcommand("demo", "Render an animated demo (PNG frames and a GIF) and print where it is");
  c.demo_cmd->add_option("input", c.demo.input, "Your own image instead of the built-in pool tiles");
  c.demo_cmd->add_option("-o,--output", c.demo.dir, "Folder for the demo's files (default pluvane-demo)");
  c.demo_cmd->add_option("--frames", c.demo_frames, "Frames A-B to render (default 0-47, two seconds at 24 fps)");
  c.demo_cmd->add_option("--threads", c.demo.threads, "Worker threads (default 0: all cores)");
  c.demo_cmd->add_flag("-q,--quiet", c.demo.quiet, "Print nothing but errors");
  c.demo_cmd->add_flag("--stats", c.demo.stats, "Print the render time of every frame and the throughput");

  c.controls = app.add_subcommand(
      "controls", "List the effect's 22 controls, and which are enabled for the popup choices given with --set");
  AddMulti(c.controls, "--set", c.control_sets, "Set a control first, like \"Using=AE Lights\" or \"Light Type=Point Light\"");

  c.about = app.add_subcommand("about", "Print the effect's about text");
}

// Runs the command the parse chose; failures are thrown.
void RunCommand(Commands& c, std::ostream& out, std::ostream& err) {
  if (*c.render) {
    RunRender(BuildRenderOptions(c.render, c.ra), out, err);
  } else if (*c.demo_cmd) {
    if (!c.demo_frames.empty()) c.demo.frames = ParseFrameRange(c.demo_frames, "--frames");
    c.demo.progress = !c.demo.quiet && IsTerminal(2);
    RunDemo(c.demo, out, err);
  } else if (*c.controls) {
    auto effect = LoadEffect(kControlsLayerWidth, kControlsLayerHeight);
    for (const std::string& s : c.control_sets) effect->Apply(session::ParseSetOption(s));
    out << ControlTable(effect->Describe());
  } else if (*c.about) {
    auto effect = LoadEffect(kControlsLayerWidth, kControlsLayerHeight);
    std::string text;
    effect->host().About(&text);
    for (char& ch : text)
      if (ch == '\r') ch = '\n';
    out << text << "\n";
  }
}

// The one place a failure becomes its line and exit code: called while the
// exception is being handled.
int ReportFailure(std::ostream& err) {
  try {
    throw;
  } catch (const CliError& e) {
    err << (IsInterruptExitCode(e.exit_code()) ? "pluvane: " : "pluvane: error: ") << OneLine(e.what()) << "\n";
    return e.exit_code();
  } catch (const session::Error& e) {  // a bad control, rate or setting
    err << "pluvane: error: " << OneLine(e.what()) << "\n";
    return kExitBadInput;
  } catch (const media::LibraryError& e) {  // an installation problem
    err << "pluvane: error: " << OneLine(e.what()) << "\n";
    return kExitRenderFailed;
  } catch (const media::Error& e) {  // a file that cannot be read or written
    err << "pluvane: error: " << OneLine(e.what()) << "\n";
    return kExitBadInput;
  } catch (const std::bad_alloc&) {
    err << "pluvane: error: out of memory; use --downsample or a smaller image\n";
    return kExitRenderFailed;
  } catch (const std::exception& e) {
    err << "pluvane: error: " << OneLine(e.what()) << "; please report this with the command you ran\n";
    return kExitRenderFailed;
  }
}

}  // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"pluvane: rain ripples on an image. Drops start ring-shaped ripples, and the image is seen\n"
               "through the rippling water, displaced and lit.",
               "pluvane"};
  app.require_subcommand(1);
  app.footer("Run 'pluvane COMMAND --help' for the options of a command.");
  app.set_version_flag("--version",
                       "pluvane " + std::to_string(PLUVANE_VERSION_MAJOR) + "." + std::to_string(PLUVANE_VERSION_MINOR) + "." +
                           std::to_string(PLUVANE_VERSION_PATCH),
                       "Print pluvane's version and exit");
  Commands commands;
  commands.render = AddRenderCommand(app, commands.ra);
  AddOtherCommands(app, commands);

  if (argc <= 1) {
    out << app.help();
    return kExitBadInput;
  }
  try {
    CheckSettingsAreOneArgument(argc, argv);
    app.parse(argc, argv);
  } catch (const CliError& e) {
    err << "pluvane: error: " << OneLine(e.what()) << "\n";
    return e.exit_code();
  } catch (const CLI::Success& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    err << "pluvane: error: " << OneLine(e.what()) << "; run 'pluvane --help' or 'pluvane COMMAND --help' for the options\n";
    return kExitBadInput;
  }
  try {
    RunCommand(commands, out, err);
  } catch (...) {
    return ReportFailure(err);
  }
  return kExitOk;
}

}  // namespace pluvane::cli
