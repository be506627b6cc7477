// Scene files: a render saved as JSON so that it can be repeated.
//
//   {"input": "photo.png", "output": "rain.####.png", "depth": 16, "frame": 12, "frames": [0, 89],
//    "fps": [30, 1], "quality": "high", "downsample": [1, 1], "pixel_aspect": [1, 1],
//    "protocol": "smart", "threads": 0,
//    "controls": {"Drip Rate": 2.0, "Light Color": [255, 200, 150], "Using": "AE Lights",
//                 "Ripple Height": {"keys": [[0, 100], [30, 40]]}},
//    "lights": [{"type": "spot", "position": [960, 200, -800], "point_of_interest": [960, 540, 0],
//                "intensity": 100, "color": [1, 0.9, 0.8], "cone_angle": 90, "cone_feather": 50,
//                "enabled": true}]}
//
// Every key is optional. Relative paths are relative to the scene file.
#pragma once

#include <string>

#include "cli/render.h"

namespace pluvane::cli {

// Sets in `options` what the scene file at `path` gives; CliError naming the
// file, the key and the fix for anything malformed.
void LoadScene(const std::string& path, RenderOptions& options);
// The same from JSON text; `base_dir` resolves relative paths, `name` is used in messages.
void ParseScene(const std::string& text, const std::string& name, const std::string& base_dir, RenderOptions& options);

}  // namespace pluvane::cli
