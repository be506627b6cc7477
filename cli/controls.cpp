#include "cli/controls.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "cli/cli_error.h"
#include "session/error.h"

namespace fs = std::filesystem;

namespace pluvane::cli {
namespace {

using minihost::MiniHost;

}  // namespace

std::string FindModulePath() {
  // $PLUVANE_MODULE wins (the stand-in host reads it); otherwise the module
  // beside the program (a build tree), then in the private folder of an
  // installation (PREFIX/bin/pluvane, PREFIX/lib/pluvane/), both found from
  // the program's own path so that an installed tree can move; last the one
  // this build made.
  if (const char* env = std::getenv("PLUVANE_MODULE"); !env || !*env) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      for (const fs::path& dir : {exe.parent_path(), exe.parent_path().parent_path() / "lib" / "pluvane"}) {
        const fs::path module = dir / "pluvane_effect.so";
        if (fs::exists(module, ec)) return module.string();
      }
    }
  }
  return MiniHost::DefaultModulePath();
}

std::unique_ptr<session::Session> LoadEffect(int width, int height) {
  try {
    return std::make_unique<session::Session>(FindModulePath(), width, height);
  } catch (const session::Error& e) {
    throw CliError(e.what(), kExitRenderFailed);
  }
}

std::string ControlTable(const std::vector<session::ControlInfo>& controls) {
  std::vector<std::vector<std::string>> rows{{"#", "name", "type", "valid range", "slider range", "default", "state"}};
  for (const auto& c : controls) {
    const bool group = c.type == "group" || c.type == "end of group";
    rows.push_back({std::to_string(c.index), c.name, c.type, c.valid_range, c.slider_range, c.default_value,
                    group ? "" : (c.enabled ? "enabled" : "disabled")});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto& r : rows)
    for (size_t i = 0; i < r.size(); ++i) width[i] = std::max(width[i], r[i].size());
  std::ostringstream out;
  for (const auto& r : rows) {
    std::string line;
    for (size_t i = 0; i < r.size(); ++i) {
      line += r[i];
      if (i + 1 < r.size()) line += std::string(width[i] - r[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
  return out.str();
}

}  // namespace pluvane::cli
