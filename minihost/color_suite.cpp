// "PF ColorParamSuite" 1: a colour control in floating point.
#include "minihost/color_suite.h"

#include <map>
#include <mutex>

#include "minihost/callbacks.h"

namespace minihost {
namespace {

// What tests asked of one host's suite. Kept outside MiniHost; the entry of a
// host is reset when a host registers its suites, so a new host at the
// address of a destroyed one starts clean.
struct ColorHooks {
  PF_Err error = PF_Err_NONE;
  std::map<A_long, PF_PixelFloat> colors;  // by the control's disk id
};

std::mutex hooks_mutex;
std::map<const MiniHost*, ColorHooks> hooks;

PF_Err GetFloatingPointColorFromColorDef(PF_ProgPtr effect_ref, const PF_ParamDef* color_def,
                                         PF_PixelFloat* fp_color) {
  const MiniHost* host = MiniHost::FromRef(effect_ref);
  if (!color_def || !fp_color) return PF_Err_BAD_CALLBACK_PARAM;
  {
    std::lock_guard<std::mutex> lock(hooks_mutex);
    auto found = hooks.find(host);
    if (found != hooks.end()) {
      const ColorHooks& h = found->second;
      if (h.error != PF_Err_NONE) return h.error;
      auto it = h.colors.find(color_def->uu.id);
      if (it != h.colors.end()) {
        *fp_color = it->second;
        return PF_Err_NONE;
      }
    }
  }
  if (color_def->param_type != PF_Param_COLOR) return PF_Err_BAD_CALLBACK_PARAM;
  const PF_Pixel& c = color_def->u.cd.value;
  *fp_color = PF_PixelFloat{c.alpha / 255.0f, c.red / 255.0f, c.green / 255.0f, c.blue / 255.0f};
  return PF_Err_NONE;
}

const PF_ColorParamSuite1 kColorParamSuite = {GetFloatingPointColorFromColorDef};

}  // namespace

void SetFloatColor(MiniHost& host, int index, PF_PixelFloat color) {
  const A_long id = host.params().at(index).uu.id;
  std::lock_guard<std::mutex> lock(hooks_mutex);
  hooks[&host].colors[id] = color;
}

void SetColorSuiteError(MiniHost& host, PF_Err err) {
  std::lock_guard<std::mutex> lock(hooks_mutex);
  hooks[&host].error = err;
}

void RegisterColorParamSuite(MiniHost& host) {
  {
    std::lock_guard<std::mutex> lock(hooks_mutex);
    hooks.erase(&host);
  }
  host.RegisterSuite(kPFColorParamSuite, kPFColorParamSuiteVersion1, &kColorParamSuite);
}

}  // namespace minihost
