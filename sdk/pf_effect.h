// Our own declarations of the compositing host's effect interface: the
// scalar types, command codes, error codes, pixel and world records, the
// parameter record and the callback tables that the host hands an effect.
// Only what the module and the stand-in host use is declared; field meanings
// follow the host's published conventions.
#pragma once

#include <cmath>
#include <cstdint>

extern "C" {

typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef uint8_t A_u_char;
typedef char A_char;
typedef uint8_t A_Boolean;
typedef int32_t A_Err;

typedef A_long PF_Err;
typedef A_long PF_Cmd;
typedef A_long PF_Fixed;      // signed 16.16 fixed point; 1.0 is 0x10000
typedef A_u_char PF_Boolean;
typedef A_long PF_ParamIndex;
typedef A_long PF_ParamFlags;
typedef A_long PF_ParamUIFlags;
typedef A_long PF_ParamType;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef A_long PF_Quality;
typedef A_long PF_WorldFlags;
typedef A_long PF_NewWorldFlags;
typedef A_long PF_PixelFormat;  // four-character code, lowest address first

// Opaque reference to one effect instance, handed back to every callback.
typedef struct PF_ProgressInfo* PF_ProgPtr;

// ---- commands -------------------------------------------------------------
enum {
  PF_Cmd_ABOUT = 0,
  PF_Cmd_GLOBAL_SETUP = 1,
  PF_Cmd_UNUSED_0 = 2,
  PF_Cmd_GLOBAL_SETDOWN = 3,
  PF_Cmd_PARAMS_SETUP = 4,
  PF_Cmd_SEQUENCE_SETUP = 5,
  PF_Cmd_SEQUENCE_RESETUP = 6,
  PF_Cmd_SEQUENCE_FLATTEN = 7,
  PF_Cmd_SEQUENCE_SETDOWN = 8,
  PF_Cmd_DO_DIALOG = 9,
  PF_Cmd_FRAME_SETUP = 10,
  PF_Cmd_RENDER = 11,
  PF_Cmd_FRAME_SETDOWN = 12,
  PF_Cmd_USER_CHANGED_PARAM = 13,
  PF_Cmd_UPDATE_PARAMS_UI = 14,
  PF_Cmd_EVENT = 15,
  PF_Cmd_GET_EXTERNAL_DEPENDENCIES = 16,
  PF_Cmd_COMPLETELY_GENERAL = 17,
  PF_Cmd_QUERY_DYNAMIC_FLAGS = 18,
  PF_Cmd_AUDIO_RENDER = 19,
  PF_Cmd_AUDIO_SETUP = 20,
  PF_Cmd_AUDIO_SETDOWN = 21,
  PF_Cmd_ARBITRARY_CALLBACK = 22,
  PF_Cmd_SMART_PRE_RENDER = 23,
  PF_Cmd_SMART_RENDER = 24,
};

// ---- error codes ----------------------------------------------------------
enum {
  PF_Err_NONE = 0,
  PF_Err_OUT_OF_MEMORY = 4,
  PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
  PF_Err_INVALID_INDEX = 513,
  PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
  PF_Err_INVALID_CALLBACK = 515,
  PF_Err_BAD_CALLBACK_PARAM = 516,
  PF_Interrupt_CANCEL = 517,
};

// ---- version packing ------------------------------------------------------
enum { PF_Stage_DEVELOP = 0, PF_Stage_ALPHA = 1, PF_Stage_BETA = 2, PF_Stage_RELEASE = 3 };
#define PF_VERSION(vers, subvers, bugvers, stage, build)                              \
  ((A_u_long)((((vers) & 0x1fu) << 19) | (((subvers) & 0xfu) << 15) |              \
              (((bugvers) & 0xfu) << 11) | (((stage) & 0x3u) << 9) | ((build) & 0x1ffu)))

// ---- flags ----------------------------------------------------------------
enum {
  PF_OutFlag_WIDE_TIME_INPUT = 1L << 1,
  PF_OutFlag_NON_PARAM_VARY = 1L << 2,
  PF_OutFlag_DEEP_COLOR_AWARE = 1L << 25,
  PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1L << 26,
};
enum {
  PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS = 1L << 0,
  PF_OutFlag2_I_USE_3D_LIGHTS = 1L << 2,
  PF_OutFlag2_SUPPORTS_SMART_RENDER = 1L << 10,
  PF_OutFlag2_FLOAT_COLOR_AWARE = 1L << 12,
};
enum {
  PF_ParamFlag_CANNOT_TIME_VARY = 1L << 1,
  PF_ParamFlag_COLLAPSE_TWIRLY = 1L << 5,
  PF_ParamFlag_SUPERVISE = 1L << 6,
};
enum { PF_PUI_DISABLED = 1L << 5 };
enum { PF_Quality_LO = 0, PF_Quality_HI = 1 };
enum { PF_WorldFlag_DEEP = 1L << 0, PF_WorldFlag_WRITEABLE = 1L << 1 };
enum { PF_NewWorldFlag_CLEAR_PIXELS = 1L << 0, PF_NewWorldFlag_DEEP_PIXELS = 1L << 1 };

// Pixel formats: the four bytes, lowest address first, spell the code.
enum : A_long {
  PF_PixelFormat_ARGB32 = 0x62677261,   // "argb"
  PF_PixelFormat_ARGB64 = 0x36316561,   // "ae16"
  PF_PixelFormat_ARGB128 = 0x32336561,  // "ae32"
  PF_PixelFormat_INVALID = 0x66646162,  // "badf"
};

// ---- parameter types --------------------------------------------------------
enum {
  PF_Param_LAYER = 0,
  PF_Param_SLIDER = 1,
  PF_Param_FIX_SLIDER = 2,
  PF_Param_ANGLE = 3,
  PF_Param_CHECKBOX = 4,
  PF_Param_COLOR = 5,
  PF_Param_POINT = 6,
  PF_Param_POPUP = 7,
  PF_Param_CUSTOM = 8,
  PF_Param_NO_DATA = 9,
  PF_Param_FLOAT_SLIDER = 10,
  PF_Param_ARBITRARY_DATA = 11,
  PF_Param_PATH = 12,
  PF_Param_GROUP_START = 13,
  PF_Param_GROUP_END = 14,
};

enum { PF_MAX_EFFECT_MSG_LEN = 255, PF_MAX_EFFECT_PARAM_NAME_LEN = 31 };

// ---- pixels and worlds --------------------------------------------------------
// Channels in memory order alpha, red, green, blue in every depth.
typedef struct { A_u_char alpha, red, green, blue; } PF_Pixel;
typedef PF_Pixel PF_Pixel8;
typedef struct { A_u_short alpha, red, green, blue; } PF_Pixel16;  // full scale 32768
typedef struct { float alpha, red, green, blue; } PF_PixelFloat;   // not clamped
typedef PF_Pixel* PF_PixelPtr;

typedef struct { A_long left, top, right, bottom; } PF_LRect;
typedef PF_LRect PF_Rect;
typedef struct { A_long num; A_u_long den; } PF_RationalScale;

// An image buffer. `rowbytes` may exceed width × pixel size (row padding).
// `origin_x/y` place buffer pixel (0, 0) in the layer's coordinates under
// smart render. `host_ref` belongs to whoever allocated the world.
typedef struct PF_LayerDef {
  void* host_ref;
  PF_WorldFlags world_flags;
  PF_PixelPtr data;
  A_long rowbytes;
  A_long width;
  A_long height;
  PF_LRect extent_hint;
  A_long origin_x;
  A_long origin_y;
  PF_RationalScale pix_aspect_ratio;
} PF_LayerDef;
typedef PF_LayerDef PF_EffectWorld;

// ---- parameter records ----------------------------------------------------------
typedef struct {
  PF_Fixed value;
  A_char value_str[32];
  A_char value_desc[32];
  PF_Fixed valid_min, valid_max;
  PF_Fixed slider_min, slider_max;
  PF_Fixed dephault;
  A_short precision;
  A_short display_flags;
} PF_FixedSliderDef;

typedef struct {
  PF_Fixed value;
  PF_Fixed dephault;
  PF_Fixed valid_min, valid_max;
} PF_AngleDef;

typedef struct {
  PF_Pixel value;
  PF_Pixel dephault;
} PF_ColorDef;

typedef struct {
  PF_Fixed x_value, y_value;
  A_char reserved[3];
  PF_Boolean restrict_bounds;
  PF_Fixed x_dephault, y_dephault;  // percent of the layer's width and height
} PF_PointDef;

typedef struct {
  A_long value;
  A_short num_choices;
  A_short dephault;
  union { const A_char* namesptr; } u;  // choices separated by '|'
} PF_PopupDef;

typedef union {
  PF_LayerDef ld;
  PF_FixedSliderDef fd;
  PF_AngleDef ad;
  PF_ColorDef cd;
  PF_PointDef td;
  PF_PopupDef pd;
} PF_ParamDefUnion;

typedef struct PF_ParamDef {
  union { A_long id; A_long change_flags; } uu;
  PF_ParamUIFlags ui_flags;
  A_short ui_width;
  A_short ui_height;
  PF_ParamType param_type;
  A_char name[32];
  PF_ParamFlags flags;
  A_long unused;
  PF_ParamDefUnion u;
} PF_ParamDef;
typedef PF_ParamDef** PF_ParamList;

// ---- callbacks ------------------------------------------------------------------
typedef struct {
  PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                           A_long time_step, A_u_long time_scale, PF_ParamDef* param);
  PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
  PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDef* def);
  PF_Err (*abort)(PF_ProgPtr effect_ref);
  PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
} PF_InteractCallbacks;

typedef struct {
  double (*cos)(double);
  double (*pow)(double, double);
  double (*sin)(double);
  double (*sqrt)(double);
  int (*sprintf)(A_char* buffer, const A_char* format, ...);
  A_char* (*strcpy)(A_char* dest, const A_char* src);
} PF_ANSICallbacks;

typedef PF_Err (*PF_IteratePixel8Func)(void* refcon, A_long x, A_long y, PF_Pixel* in, PF_Pixel* out);
typedef PF_Err (*PF_IteratePixel16Func)(void* refcon, A_long x, A_long y, PF_Pixel16* in,
                                        PF_Pixel16* out);
typedef PF_Err (*PF_IteratePixelFloatFunc)(void* refcon, A_long x, A_long y, PF_PixelFloat* in,
                                           PF_PixelFloat* out);

struct PF_InData;

typedef struct PF_UtilCallbacks {
  PF_Err (*copy)(PF_ProgPtr effect_ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r,
                 PF_Rect* dst_r);
  PF_Err (*fill)(PF_ProgPtr effect_ref, const PF_Pixel* color, const PF_Rect* dst_rect,
                 PF_EffectWorld* world);
  PF_Err (*iterate)(struct PF_InData* in_data, A_long progress_base, A_long progress_final,
                    PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                    PF_IteratePixel8Func pix_fn, PF_EffectWorld* dst);
  PF_Err (*iterate16)(struct PF_InData* in_data, A_long progress_base, A_long progress_final,
                      PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                      PF_IteratePixel16Func pix_fn, PF_EffectWorld* dst);
  PF_ANSICallbacks ansi;
} PF_UtilCallbacks;

struct SPBasicSuite;

typedef struct { A_short major, minor; } PF_SpecVersion;

typedef struct PF_InData {
  PF_InteractCallbacks inter;
  PF_UtilCallbacks* utils;
  PF_ProgPtr effect_ref;
  PF_Quality quality;
  PF_SpecVersion version;      // the version of the host's effect interface
  A_long current_time;
  A_long time_step;
  A_long total_time;
  A_long local_time_step;
  A_u_long time_scale;
  A_long width;                // the layer's full-resolution size
  A_long height;
  PF_RationalScale downsample_x;
  PF_RationalScale downsample_y;
  PF_RationalScale pixel_aspect_ratio;
  struct SPBasicSuite* pica_basicP;
} PF_InData;

typedef struct PF_OutData {
  A_u_long my_version;
  A_long num_params;
  PF_OutFlags out_flags;
  PF_OutFlags2 out_flags2;
  A_char return_msg[256];
} PF_OutData;

// The one function an effect module exports.
typedef PF_Err (*PF_MainEntryFunc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                   PF_ParamDef* params[], PF_LayerDef* output, void* extra);

}  // extern "C"

// 16.16 fixed point (PF_Fixed), converted in one place: 1.0 is 65536, and the
// whole part runs from -32767 to 32767.
constexpr double kPF_FixedOne = 65536.0;
constexpr double kPF_FixedLimit = 32767.0;
constexpr double PF_FixedToDouble(PF_Fixed v) { return v / kPF_FixedOne; }
constexpr PF_Fixed PF_WholeToFixed(int whole) { return static_cast<PF_Fixed>(whole * 65536); }
// Nearest; the caller keeps `v` within ±kPF_FixedLimit.
inline PF_Fixed PF_DoubleToFixed(double v) { return static_cast<PF_Fixed>(std::llround(v * kPF_FixedOne)); }
