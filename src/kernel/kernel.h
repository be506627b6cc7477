// The per-pixel kernel: the height field's slope gives a surface normal and a
// displacement; the input is sampled at the displaced position (mirrored back
// into the layer at its edges), shaded with the frame's shading model and
// stored in the output's depth.
#pragma once

#include <vector>

#include "kernel/pixel.h"
#include "light/light_shade.h"
#include "pf_suites.h"

// The host's area sample for pixel type T.
template <class T>
using FX_SampleFn = PF_Err (*)(PF_ProgPtr effect_ref, PF_Fixed x, PF_Fixed y, const PF_SampPB* params,
                               T* dst_pixel);

// The host's run of area samples along one row, for pixel type T.
template <class T>
using FX_SampleRunFn = PF_Err (*)(PF_ProgPtr effect_ref, const PF_Fixed* xs, PF_Fixed y, A_long count,
                                  const PF_SampPB* params, T* dst, A_long* failed_index);

// The product of two 16.16 numbers as 16.16, rounded to nearest and saturated
// to the 32-bit range.
PF_Fixed FixMul(PF_Fixed a, PF_Fixed b);

// What the height field's slope at one pixel decides: the surface normal, the
// displacement, the blur radii and the fold spans, and the radii and area
// handed to the host's sample.
// (No initialisers: the kernel fills one per pixel and clears nothing.)
struct FX_Surface {
  FX_D_Point normal;
  double dx, dy;        // displacement, working units
  double rx, ry;        // blur radii, working units
  double spanX, spanY;  // fold spans
  PF_Fixed xRadius, yRadius, area;
};

// Everything the kernel reads, prepared once per frame. Owns the frame's
// shading model.
template <class T>
struct RIPInfo {
  RIPInfo() = default;
  RIPInfo(const RIPInfo&) = delete;
  RIPInfo& operator=(const RIPInfo&) = delete;
  ~RIPInfo() { delete shade; }

  LightShade* shade = nullptr;
  double displace = 0;           // Displacement, working units
  bool hiQuality = false;        // sample with a blur radius
  PF_LayerDef* heightWorld = nullptr;  // one float per output pixel
  A_long heightStride = 0;       // row stride of the height field in floats
  double maxX = 0, maxY = 0;     // largest sample position, working units
  double scaleX = 1, scaleY = 1;        // buffer pixel to working units
  double fixScaleX = 65536, fixScaleY = 65536;  // working units to 16.16 buffer pixels
  double slopeX = -1, slopeY = -1;      // factors of the height differences
  double offsetX = 0, offsetY = 0;      // working-unit position of output (0, 0) in the input
  PF_ProgPtr effectRef = nullptr;
  PF_SampPB sampPB{};            // template of every sample request; src is the input
  PF_InData* inData = nullptr;   // the host's math callbacks
  FX_SampleFn<T> sampleFn = nullptr;
  // Set by a host that iterates by rows and samples runs: calm pixels next
  // to each other are sampled with one call.
  FX_SampleRunFn<T> sampleRunFn = nullptr;

  // Filled by PrepareCalmWater: what every pixel of calm water (no height
  // difference to its left and upper neighbours) shares, worked out once by
  // the same arithmetic the kernel uses per pixel.
  bool calmReady = false;
  FX_Surface calm{};
  PF_SampPB calmPB{};            // the sample request of every calm pixel
  // The 16.16 sample position of a calm pixel: its column's x and its row's
  // y, one entry per column and row of the output.
  std::vector<PF_Fixed> calmFx, calmFy;
  // The lights gathered for the calm normal: the first calmLitLights of
  // them (those gathered the same at every position); calmLitReady when
  // that is all of them.
  int calmLitLights = 0;
  bool calmLitReady = false;
  TSLightGather calmGather{};
  // Integer depths, when every light is in calmGather: the stored red, green
  // and blue of a calm pixel for each sampled value 0..full scale, in three
  // runs of full scale + 1 entries.
  std::vector<typename PixelTraits<T>::Channel> calmTable;
};

// Works out the calm-water values of `info` once its other members and the
// shading model are complete; without this call every pixel takes the full
// path, with the same result.
template <class T>
void PrepareCalmWater(RIPInfo<T>& info);

// Computes output pixel (x, y). `in` is not read. Returns the sample's error,
// after the pixel has been shaded and stored either way.
template <class T>
PF_Err BlobRIP(void* refcon, A_long x, A_long y, T* in, T* out);

// The same pixels, a row at a time (the host's row iteration): columns
// x_begin..x_end−1 of row y, `row` pointing at the output's pixel (0, y).
// Every pixel gets the bytes BlobRIP gives it; the host's sample, square root
// and power are called for each pixel as BlobRIP calls them, and the
// arithmetic between them runs on several pixels at once. Returns the error
// of the row's first failing pixel.
template <class T>
PF_Err BlobRIPRow(void* refcon, A_long y, A_long x_begin, A_long x_end, void* row);

extern template PF_Err BlobRIP<PF_Pixel>(void*, A_long, A_long, PF_Pixel*, PF_Pixel*);
extern template PF_Err BlobRIP<PF_Pixel16>(void*, A_long, A_long, PF_Pixel16*, PF_Pixel16*);
extern template PF_Err BlobRIP<PF_PixelFloat>(void*, A_long, A_long, PF_PixelFloat*, PF_PixelFloat*);
extern template PF_Err BlobRIPRow<PF_Pixel>(void*, A_long, A_long, A_long, void*);
extern template PF_Err BlobRIPRow<PF_Pixel16>(void*, A_long, A_long, A_long, void*);
extern template PF_Err BlobRIPRow<PF_PixelFloat>(void*, A_long, A_long, A_long, void*);
extern template void PrepareCalmWater<PF_Pixel>(RIPInfo<PF_Pixel>&);
extern template void PrepareCalmWater<PF_Pixel16>(RIPInfo<PF_Pixel16>&);
extern template void PrepareCalmWater<PF_PixelFloat>(RIPInfo<PF_PixelFloat>&);
