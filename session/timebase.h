// Time as every front end gives it to the effect: one frame-rate parser and
// one rule from a frame (or a host's time in seconds or milliseconds) to the
// host's time, time step and time scale.
//
// A rate N/D (reduced) makes the time scale N and the time step D: frame f is
// at time f × D, that is f × D / N seconds. Drops are seeded by their birth
// time on that scale, so one rate must always be one fraction: "25.5", "51/2"
// and "102/4" are all 51/2, and the NTSC decimals ("23.976", "29.97",
// "59.94", ...) are N × 1000/1001 as their clips are.
#pragma once

#include <string>
#include <vector>

#include "pf_effect.h"

namespace pluvane::session {

// A positive fraction in lowest terms, each part at most INT_MAX.
struct Rational {
  long num = 1;
  long den = 1;
  double value() const { return static_cast<double>(num) / static_cast<double>(den); }
  std::string Text() const;  // "30" or "30000/1001"
  bool operator==(const Rational&) const = default;
};

// "N", "N/D" or a decimal with any number of decimals ("25.5" is 51/2),
// positive, reduced. A decimal too long for an exact fraction becomes the
// nearest fraction with a denominator up to a million. Error naming `what`
// otherwise.
Rational ParseRatio(const std::string& text, const std::string& what);

// A frame rate: as ParseRatio, but a decimal with two or more decimals that is
// an NTSC rate N × 1000/1001 written rounded or cut (23.976, 29.97, 47.952,
// 59.94, 119.88, 23.9760239...) is that rate exactly.
Rational ParseRate(const std::string& text, const std::string& what = "frame rate");

// A rate a host gives as a double (OpenFX): the NTSC rate N × 1000/1001 it
// stands for when within 0.0005 of it (23.976, 29.97, 59.94 as hosts write
// them), else the nearest fraction with a denominator up to 1001. Error when
// not positive and finite.
Rational RateFromDouble(double fps);

// "project" (any case): the rate is the host's, read from its time stamps.
bool IsProjectRate(const std::string& text);

// The rate of a host that names none but stamps frame n at n / rate seconds
// (MLT's frei0r filters): the lowest rate, of the whole rates 10 to 240 and
// the NTSC rates N × 1000/1001, at which every stamp seen so far falls on a
// whole frame. Exact once two neighbouring frames, or frame 1, have been
// seen (no lower rate has a frame that early); until then (frame 0 alone,
// stamps on whole seconds) a guess: 30 while only frame 0 was seen. Stamps
// that fit no such rate give the rate of the earliest nonzero one.
class RateFromStamps {
 public:
  RateFromStamps();
  // Adds a stamp in seconds; the rate as now inferred.
  Rational Add(double seconds);

 private:
  std::vector<Rational> candidates_;  // ascending, those every stamp fits
  double earliest_ = 0;                // the earliest nonzero stamp
  bool informed_ = false;              // a nonzero stamp was seen
};

// The unit of a host's time stamps.
enum class TimeUnit { kSeconds, kMilliseconds };
// "seconds", "s", "ms", "milliseconds" (any case); seconds for anything else.
TimeUnit ParseTimeUnit(const std::string& text);

class Timebase {
 public:
  Timebase() = default;
  explicit Timebase(Rational rate) : rate_(rate) {}
  const Rational& rate() const { return rate_; }

  A_u_long time_scale() const { return static_cast<A_u_long>(rate_.num); }
  A_long time_step() const { return static_cast<A_long>(rate_.den); }
  // The last frame whose time, and the time of the frame after it, fit the host's 32-bit time.
  long long LastFrame() const;
  // Frame f's time: f × time step. Error beyond LastFrame().
  A_long TimeOf(long long frame) const;
  // Frame f in seconds, as keyframes are stored: f × D / N.
  double SecondsOf(double frame) const;
  // The frame nearest to a host's time stamp, clamped to 0..LastFrame(); NaN is frame 0.
  long long FrameAt(double host_time, TimeUnit unit = TimeUnit::kSeconds) const;

 private:
  Rational rate_{30, 1};
};

}  // namespace pluvane::session
