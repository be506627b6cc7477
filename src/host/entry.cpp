#include "entry.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "dispatch.h"
#include "enabling.h"
#include "common/params.h"

namespace {

#if defined(__x86_64__)
constexpr const char* kPlatformLabel = "ELF x86-64";
#elif defined(__aarch64__)
constexpr const char* kPlatformLabel = "ELF AArch64";
#else
constexpr const char* kPlatformLabel = "ELF";
#endif

constexpr const char* kFamilyLabel = "Orlumen 1.7.1";
constexpr const char* kEffectName = "QX Pluvane";
constexpr const char* kDescription = "Simulate raindrops rippling the layer as a surface.";

PF_Err Dispatch(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                PF_LayerDef* output, void* extra) {
  switch (cmd) {
    case PF_Cmd_ABOUT:
      return About(in_data, out_data);
    case PF_Cmd_GLOBAL_SETUP:
      return GlobalSetup(out_data);
    case PF_Cmd_PARAMS_SETUP:
      return ParamsSetup(in_data, out_data);
    case PF_Cmd_RENDER:
      return Render(in_data, out_data, params, output);
    case PF_Cmd_USER_CHANGED_PARAM:
    case PF_Cmd_UPDATE_PARAMS_UI:
      return UpdateControlStates(in_data, out_data, params);
    case PF_Cmd_QUERY_DYNAMIC_FLAGS:
      return QueryDynamicFlags(in_data, out_data, params);
    case PF_Cmd_SMART_PRE_RENDER:
      return SmartPreRender(in_data, out_data, params, static_cast<PF_PreRenderExtra*>(extra));
    case PF_Cmd_SMART_RENDER:
      return SmartRender(in_data, out_data, params, static_cast<PF_SmartRenderExtra*>(extra));
    default:
      return PF_Err_NONE;
  }
}

}  // namespace

PF_Err About(PF_InData* in_data, PF_OutData* out_data) {
  // The host may have left text in return_msg, possibly without a terminator:
  // take at most its 255 characters, then compose with a bounded formatter
  // into a buffer large enough for the whole uncut text.
  char host_text[sizeof out_data->return_msg];
  const size_t host_len = strnlen(out_data->return_msg, sizeof out_data->return_msg - 1);
  std::memcpy(host_text, out_data->return_msg, host_len);
  host_text[host_len] = '\0';

  char work[512 + sizeof host_text];
  std::snprintf(work, sizeof work, "%s\r%s, v%d.%d  (%s)\r%s%s", kFamilyLabel, kEffectName, PLUVANE_VERSION_MAJOR, PLUVANE_VERSION_MINOR,
                kPlatformLabel, kDescription, host_text);
  work[PF_MAX_EFFECT_MSG_LEN] = '\0';  // cut after 255 characters
  in_data->utils->ansi.sprintf(out_data->return_msg, "%s", work);
  return PF_Err_NONE;
}

PF_Err GlobalSetup(PF_OutData* out_data) {
  out_data->my_version = kEffectVersion;
  out_data->out_flags |= PF_OutFlag_WIDE_TIME_INPUT | PF_OutFlag_NON_PARAM_VARY |
                         PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_SEND_UPDATE_PARAMS_UI;
  out_data->out_flags2 |= PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS | PF_OutFlag2_I_USE_3D_LIGHTS |
                          PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;
  return PF_Err_NONE;
}

// Every command runs inside one guard: exhausted memory becomes an
// out-of-memory error, an error code thrown as an integer (a missing suite)
// is returned as it is, anything else becomes a bad-callback error. The
// command's Fxenv lives inside the handler, so it is destroyed (releasing its
// suites) before the guard returns.
extern "C" PF_Err MainEntry(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                            PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
  try {
    return Dispatch(cmd, in_data, out_data, params, output, extra);
  } catch (const std::bad_alloc&) {
    return PF_Err_OUT_OF_MEMORY;
  } catch (int err) {
    return err;
  } catch (...) {
    return PF_Err_BAD_CALLBACK_PARAM;
  }
}
