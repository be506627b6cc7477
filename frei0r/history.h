// The values a frei0r filter was given, frame by frame.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <map>
#include <vector>

#include "session/timebase.h"

namespace pluvane::frei0r {

// What the host gave the time-varying controls (sliders, angles, the point,
// the colour) at every frame rendered so far, as the stand-in host stores
// them. A keyframed control is read by the effect at earlier times too (a
// drop keeps the values of its birth), but a frei0r host passes only the
// value of the frame it asks for: rendering the frames in order, as a render
// does, the filter has seen every earlier value and the effect gets them,
// exactly as keyframes in the stand-in host give them. A time not seen (after
// a seek) reads the current value. Runs of equal frames are kept once.
class History {
 public:
  using Values = std::vector<std::array<double, 3>>;  // by slot

  // `values` for `frame`. A frame seen before with other values means the
  // host's values changed (an edit in an editor): what was kept is dropped.
  void Record(long long frame, const Values& values) {
    auto it = Find(frame);
    if (it != runs_.end()) {
      if (it->second.values == values) return;
      runs_.clear();
    }
    if (!runs_.empty()) {
      auto before = runs_.lower_bound(frame);
      if (before != runs_.begin()) {
        --before;
        if (before->second.last == frame - 1 && before->second.values == values) {
          before->second.last = frame;
          Merge(before);
          return;
        }
      }
    }
    if (runs_.size() >= kMaxRuns) runs_.clear();
    auto added = runs_.emplace(frame, Run{frame, values}).first;
    Merge(added);
  }
  // The values kept for `frame`, or nothing.
  const Values* At(long long frame) const {
    auto it = Find(frame);
    return it == runs_.end() ? nullptr : &it->second.values;
  }
  void Clear() { runs_.clear(); }
  // The frames kept at rate `from` as frames at rate `to`: each keeps its
  // values where it falls on a whole frame (as every stamp the rate was
  // inferred from does); the others are dropped.
  void Rescale(const pluvane::session::Rational& from, const pluvane::session::Rational& to) {
    std::map<long long, Run> old;
    old.swap(runs_);
    // frame × (to / from) = frame × to.num × from.den / (to.den × from.num)
    const __int128 num = static_cast<__int128>(to.num) * from.den, den = static_cast<__int128>(to.den) * from.num;
    for (const auto& [first, run] : old)
      for (long long f = first; f <= run.last && runs_.size() < kMaxRuns; ++f)
        if (f * num % den == 0) Record(static_cast<long long>(f * num / den), run.values);
  }

 private:
  struct Run {
    long long last;  // the run covers its key .. last
    Values values;
  };
  // About 18 minutes at 60 fps of values that change every frame (some 30 MB);
  // beyond, what was kept is dropped and earlier times read the current values.
  static constexpr size_t kMaxRuns = size_t{1} << 16;

  std::map<long long, Run>::const_iterator Find(long long frame) const {
    auto it = runs_.upper_bound(frame);
    if (it == runs_.begin()) return runs_.end();
    --it;
    return frame <= it->second.last ? it : runs_.end();
  }
  std::map<long long, Run>::iterator Find(long long frame) {
    auto it = runs_.upper_bound(frame);
    if (it == runs_.begin()) return runs_.end();
    --it;
    return frame <= it->second.last ? it : runs_.end();
  }
  // Joins the run at `it` with the next one when they touch and agree.
  void Merge(std::map<long long, Run>::iterator it) {
    auto next = std::next(it);
    if (next != runs_.end() && next->first == it->second.last + 1 && next->second.values == it->second.values) {
      it->second.last = next->second.last;
      runs_.erase(next);
    }
  }

  std::map<long long, Run> runs_;
};

}  // namespace pluvane::frei0r
