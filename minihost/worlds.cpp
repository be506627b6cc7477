// Image buffers: allocation with row padding and tracking, "PF World Suite"
// 1 and 2, and the fill and copy utility callbacks.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "minihost/callbacks.h"
#include "minihost/parallel.h"
#include "minihost/platform.h"

namespace minihost {
namespace {

// Bytes added to every row, so rowbytes never equals width × pixel size.
constexpr A_long kRowPadding = 48;
// What an uncleared buffer holds: a pattern, as a real host's recycled memory
// would, so that code relying on zeroed memory shows its fault.
constexpr uint8_t kGarbage = 0xA5;
// A large recycled buffer is set in bands of this many bytes on the host's threads.
constexpr size_t kFillBand = size_t{1} << 20;

HostWorld* HostWorldOf(const PF_EffectWorld* world) {
  return world ? static_cast<HostWorld*>(world->host_ref) : nullptr;
}

// A new buffer of a frame's size is touched for the first time by the write
// that follows: asked for in 2 MiB pages where the system offers them, that
// costs a handful of page faults instead of one per 4 KiB. Only the whole
// large pages inside the buffer are advised; nothing else changes.
void AdviseLargePages(std::vector<uint8_t>& storage, size_t bytes) {
  constexpr uintptr_t kLarge = uintptr_t{2} << 20;
  if (bytes < 2 * kLarge) return;
  storage.reserve(bytes);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(storage.data());
  const uintptr_t first = (begin + kLarge - 1) & ~(kLarge - 1);
  const uintptr_t last = (begin + bytes) & ~(kLarge - 1);
  if (last > first) platform::AdviseLargePages(reinterpret_cast<void*>(first), last - first);
}

}  // namespace

size_t MiniHost::PixelSize(PF_PixelFormat format) {
  switch (format) {
    case PF_PixelFormat_ARGB64: return sizeof(PF_Pixel16);
    case PF_PixelFormat_ARGB128: return sizeof(PF_PixelFloat);
    default: return sizeof(PF_Pixel);
  }
}

PF_PixelFormat MiniHost::WorldFormat(const PF_EffectWorld* world) {
  if (const HostWorld* hw = HostWorldOf(world)) return hw->format;
  return (world->world_flags & PF_WorldFlag_DEEP) ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
}

PF_EffectWorld* MiniHost::AllocateWorld(A_long width, A_long height, PF_PixelFormat format, WorldFill fill,
                                        int suite_version) {
  auto hw = std::make_unique<HostWorld>();
  const A_long w = std::max<A_long>(width, 0), h = std::max<A_long>(height, 0);
  const A_long rowbytes =
      static_cast<A_long>(((w * MiniHost::PixelSize(format) + kRowPadding) + 15) / 16 * 16);
  const size_t bytes = static_cast<size_t>(rowbytes) * std::max<A_long>(h, 1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = spare_storage_.begin(); it != spare_storage_.end(); ++it) {
      if (it->capacity() >= bytes && it->capacity() <= bytes + bytes / 4) {
        hw->storage = std::move(*it);
        spare_storage_.erase(it);
        break;
      }
    }
  }
  if (hw->storage.capacity() < bytes) AdviseLargePages(hw->storage, bytes);
  // Recycled or new, the buffer holds zeros or the pattern and nothing of an
  // earlier world, unless asked to come as recycled.
  if (!(fill == WorldFill::kAsRecycled && hw->storage.size() == bytes)) {
    const uint8_t value = fill == WorldFill::kZeros ? 0 : kGarbage;
    if (hw->storage.size() != bytes) {
      hw->storage.assign(bytes, value);
    } else {
      // A recycled buffer of the size (a frame's work buffer, every frame):
      // set in bands on the host's threads when it is large.
      uint8_t* data = hw->storage.data();
      const A_long bands = static_cast<A_long>((bytes + kFillBand - 1) / kFillBand);
      const auto set_band = [data, bytes, value](A_long i) {
        const size_t begin = static_cast<size_t>(i) * kFillBand;
        std::memset(data + begin, value, std::min(kFillBand, bytes - begin));
      };
      if (bands < 4) {
        for (A_long i = 0; i < bands; ++i) set_band(i);
      } else {
        RunParallel(settings().threads, bands, set_band, 1, &settings().thread_runner);
      }
    }
  }
  hw->format = format;
  hw->suite_version = suite_version;
  PF_EffectWorld& world = hw->world;
  world.host_ref = hw.get();
  world.world_flags = PF_WorldFlag_WRITEABLE | (format == PF_PixelFormat_ARGB64 ? PF_WorldFlag_DEEP : 0);
  world.data = reinterpret_cast<PF_PixelPtr>(hw->storage.data());
  world.rowbytes = rowbytes;
  world.width = w;
  world.height = h;
  world.extent_hint = {0, 0, w, h};
  world.pix_aspect_ratio = {1, 1};
  PF_EffectWorld* key = &hw->world;
  std::lock_guard<std::mutex> lock(mutex_);
  worlds_[key] = std::move(hw);
  return key;
}

PF_Err MiniHost::DisposeWorld(PF_EffectWorld* world, int suite_version) {
  std::lock_guard<std::mutex> lock(mutex_);
  HostWorld* hw = HostWorldOf(world);
  if (!hw) return PF_Err_BAD_CALLBACK_PARAM;
  auto it = worlds_.find(&hw->world);
  if (it == worlds_.end()) return PF_Err_BAD_CALLBACK_PARAM;
  // A world goes back through the suite version that made it; one released
  // through the other version stays allocated, so the mistake shows as an
  // error and as a live world.
  if (suite_version != 0 && it->second->suite_version != suite_version) return PF_Err_BAD_CALLBACK_PARAM;
  std::vector<uint8_t> storage = std::move(it->second->storage);
  worlds_.erase(it);
  constexpr size_t kMaxSpare = 4, kMaxSpareBytes = size_t{256} << 20;
  size_t spare_bytes = storage.capacity();
  for (const auto& v : spare_storage_) spare_bytes += v.capacity();
  if (spare_storage_.size() < kMaxSpare && spare_bytes <= kMaxSpareBytes && storage.capacity() > 0)
    spare_storage_.push_back(std::move(storage));
  return PF_Err_NONE;
}

int MiniHost::live_worlds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(worlds_.size());
}

WorldPtr& WorldPtr::operator=(WorldPtr&& o) noexcept {
  if (this != &o) {
    if (world_) host_->DisposeWorld(world_);
    host_ = o.host_;
    world_ = o.world_;
    o.world_ = nullptr;
  }
  return *this;
}

WorldPtr::~WorldPtr() {
  if (world_) host_->DisposeWorld(world_);
}

// ---- the world suites ---------------------------------------------------------------------

namespace {

// A world handed to the effect is a copy of the host's record: the effect's
// copy finds the host's buffer again through host_ref.
PF_Err NewWorldFor(PF_ProgPtr ref, int suite_version, A_long width, A_long height,
                   PF_PixelFormat format, bool clear, PF_EffectWorld* world) {
  MiniHost* host = MiniHost::FromRef(ref);
  if (Probe* probe = host->probe())
    if (PF_Err err = probe->Before(HostCall::kNewWorld, nullptr, suite_version)) return err;
  if (width < 0 || height < 0 || !world) return PF_Err_BAD_CALLBACK_PARAM;
  const auto fill = clear ? MiniHost::WorldFill::kZeros : MiniHost::WorldFill::kPattern;
  *world = *host->AllocateWorld(width, height, format, fill, suite_version);
  return PF_Err_NONE;
}

PF_Err NewWorld1(PF_ProgPtr ref, A_long width, A_long height, PF_NewWorldFlags flags,
                 PF_EffectWorld* world) {
  const PF_PixelFormat format =
      (flags & PF_NewWorldFlag_DEEP_PIXELS) ? PF_PixelFormat_ARGB64 : PF_PixelFormat_ARGB32;
  return NewWorldFor(ref, 1, width, height, format, flags & PF_NewWorldFlag_CLEAR_PIXELS, world);
}

PF_Err DisposeWorldFor(PF_ProgPtr ref, int suite_version, PF_EffectWorld* world) {
  MiniHost* host = MiniHost::FromRef(ref);
  if (Probe* probe = host->probe()) probe->After(HostCall::kDisposeWorld, nullptr, suite_version);
  ForgetSampleTables(MiniHost::ContextFromRef(ref), world);
  PF_Err err = host->DisposeWorld(world, suite_version);
  if (!err) *world = PF_EffectWorld{};
  return err;
}

PF_Err DisposeWorld1(PF_ProgPtr ref, PF_EffectWorld* world) { return DisposeWorldFor(ref, 1, world); }
PF_Err DisposeWorld2(PF_ProgPtr ref, PF_EffectWorld* world) { return DisposeWorldFor(ref, 2, world); }

PF_Err NewWorld2(PF_ProgPtr ref, A_long width, A_long height, PF_Boolean clear,
                 PF_PixelFormat format, PF_EffectWorld* world) {
  if (format != PF_PixelFormat_ARGB32 && format != PF_PixelFormat_ARGB64 &&
      format != PF_PixelFormat_ARGB128)
    return PF_Err_BAD_CALLBACK_PARAM;
  return NewWorldFor(ref, 2, width, height, format, clear, world);
}

PF_Err GetPixelFormat(const PF_EffectWorld* world, PF_PixelFormat* format) {
  if (!world || !format) return PF_Err_BAD_CALLBACK_PARAM;
  *format = MiniHost::WorldFormat(world);
  return PF_Err_NONE;
}

const PF_WorldSuite1 kWorldSuite1 = {NewWorld1, DisposeWorld1};
const PF_WorldSuite2 kWorldSuite2 = {NewWorld2, DisposeWorld2, GetPixelFormat};

}  // namespace

void RegisterWorldSuites(MiniHost& host) {
  host.RegisterSuite(kPFWorldSuite, kPFWorldSuiteVersion1, &kWorldSuite1);
  host.RegisterSuite(kPFWorldSuite, kPFWorldSuiteVersion2, &kWorldSuite2);
}

// ---- fill and copy -------------------------------------------------------------------------

namespace {

template <typename Pixel>
Pixel* Row(PF_EffectWorld* w, A_long y) {
  return reinterpret_cast<Pixel*>(reinterpret_cast<uint8_t*>(w->data) + static_cast<ptrdiff_t>(y) * w->rowbytes);
}

// Large fills (a frame's height field cleared before its drops) run on the
// host's workers, rows in bands; small ones on the calling thread.
template <typename Pixel>
void FillRect(MiniHost* host, PF_EffectWorld* w, const PF_LRect& r, const Pixel& value) {
  constexpr A_long kRowsPerBand = 32;
  // Zero (a cleared field, transparent black) is every byte 0: set as bytes.
  Pixel zero{};
  const bool zeros = std::memcmp(&value, &zero, sizeof(Pixel)) == 0;
  const auto fill_row = [w, &r, &value, zeros](A_long i) {
    Pixel* row = Row<Pixel>(w, r.top + i);
    if (zeros) std::memset(row + r.left, 0, static_cast<size_t>(r.right - r.left) * sizeof(Pixel));
    else std::fill(row + r.left, row + r.right, value);
  };
  const A_long rows = r.bottom - r.top;
  const double pixels = static_cast<double>(rows) * (r.right - r.left);
  if (pixels < 262144.0) {
    for (A_long i = 0; i < rows; ++i) fill_row(i);
    return;
  }
  RunParallel(host->settings().threads, rows, fill_row, kRowsPerBand, &host->settings().thread_runner);
}

template <typename Pixel>
void CopyAligned(PF_EffectWorld* src, PF_EffectWorld* dst) {
  // Pixels line up by their layer position (the worlds' origins); what the
  // source does not cover becomes transparent black.
  const A_long dx = dst->origin_x - src->origin_x, dy = dst->origin_y - src->origin_y;
  for (A_long y = 0; y < dst->height; ++y) {
    Pixel* out = Row<Pixel>(dst, y);
    const A_long sy = y + dy;
    for (A_long x = 0; x < dst->width; ++x) {
      const A_long sx = x + dx;
      out[x] = (sy >= 0 && sy < src->height && sx >= 0 && sx < src->width) ? Row<Pixel>(src, sy)[sx] : Pixel{};
    }
  }
}

}  // namespace

PF_Err HostFill(PF_ProgPtr ref, const PF_Pixel* color, const PF_Rect* dst_rect, PF_EffectWorld* world) {
  MiniHost* host = MiniHost::FromRef(ref);
  if (Probe* probe = host->probe())
    if (PF_Err err = probe->Before(HostCall::kFill, nullptr, 0)) return err;
  if (!world || !world->data) return PF_Err_BAD_CALLBACK_PARAM;
  ForgetSampleTables(MiniHost::ContextFromRef(ref), world);
  const PF_LRect r = ClipToWorld(world, dst_rect);
  if (r.left >= r.right || r.top >= r.bottom) return PF_Err_NONE;
  const PF_Pixel c = color ? *color : PF_Pixel{0, 0, 0, 0};
  switch (MiniHost::WorldFormat(world)) {
    case PF_PixelFormat_ARGB64: {
      auto up = [](A_u_char v) { return static_cast<A_u_short>((v * 32768 + 128) / 255); };
      FillRect(host, world, r, PF_Pixel16{up(c.alpha), up(c.red), up(c.green), up(c.blue)});
      break;
    }
    case PF_PixelFormat_ARGB128: {
      auto f = [](A_u_char v) { return v / 255.0f; };
      FillRect(host, world, r, PF_PixelFloat{f(c.alpha), f(c.red), f(c.green), f(c.blue)});
      break;
    }
    default:
      FillRect(host, world, r, c);
      break;
  }
  return PF_Err_NONE;
}

PF_Err HostCopy(PF_ProgPtr ref, PF_EffectWorld* src, PF_EffectWorld* dst, PF_Rect* src_r, PF_Rect* dst_r) {
  if (!src || !dst || !src->data || !dst->data || src_r || dst_r) return PF_Err_BAD_CALLBACK_PARAM;
  ForgetSampleTables(MiniHost::ContextFromRef(ref), dst);
  const PF_PixelFormat format = MiniHost::WorldFormat(src);
  if (format != MiniHost::WorldFormat(dst)) return PF_Err_BAD_CALLBACK_PARAM;
  switch (format) {
    case PF_PixelFormat_ARGB64: CopyAligned<PF_Pixel16>(src, dst); break;
    case PF_PixelFormat_ARGB128: CopyAligned<PF_PixelFloat>(src, dst); break;
    default: CopyAligned<PF_Pixel>(src, dst); break;
  }
  return PF_Err_NONE;
}

PF_UtilCallbacks* UtilCallbacks() {
  static PF_UtilCallbacks table = [] {
    PF_UtilCallbacks t{};
    t.copy = HostCopy;
    t.fill = HostFill;
    t.iterate = HostIterate8;
    t.iterate16 = HostIterate16;
    t.ansi = AnsiCallbacks();
    return t;
  }();
  return &table;
}

}  // namespace minihost
