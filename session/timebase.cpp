#include "session/timebase.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <numeric>

#include "session/error.h"
#include "util/text.h"

namespace pluvane::session {
namespace {

constexpr long kLimit = INT_MAX;

// The nearest fraction to `v` with a denominator up to `max_den` (continued fractions).
Rational Nearest(long double v, long max_den) {
  long p0 = 0, q0 = 1, p1 = 1, q1 = 0;
  long double x = v;
  for (int i = 0; i < 64; ++i) {
    const long double a_f = std::floor(x);
    if (a_f > kLimit) break;
    const long a = static_cast<long>(a_f);
    const long q2 = q0 + a * q1;
    if (q2 > max_den || p0 + a * p1 > kLimit) break;
    const long p2 = p0 + a * p1;
    p0 = p1, q0 = q1, p1 = p2, q1 = q2;
    const long double rest = x - a_f;
    if (rest < 1e-18L) break;
    x = 1 / rest;
  }
  if (q1 == 0 || p1 <= 0) return {0, 1};
  return {p1, q1};
}

Rational Reduced(long long num, long long den) {
  const long long g = std::gcd(num, den);
  return {static_cast<long>(num / g), static_cast<long>(den / g)};
}

// A decimal's digits: whole part and decimals, both digits only.
struct Decimal {
  std::string whole, decimals;
};

bool SplitDecimal(const std::string& s, Decimal* d) {
  const size_t dot = s.find('.');
  d->whole = s.substr(0, dot);
  d->decimals = dot == std::string::npos ? "" : s.substr(dot + 1);
  if (d->whole.empty() && d->decimals.empty()) return false;
  if (dot != std::string::npos && d->decimals.empty() && d->whole.empty()) return false;
  const auto digits = [](const std::string& t) { return t.find_first_not_of("0123456789") == std::string::npos; };
  return digits(d->whole) && digits(d->decimals);
}

// The NTSC rate N × 1000/1001 that `d` writes, rounded or cut to its decimals; 0 when none.
long NtscMultiple(const Decimal& d) {
  std::string decimals = d.decimals;
  while (!decimals.empty() && decimals.back() == '0') decimals.pop_back();
  if (decimals.size() < 2) return 0;  // whole numbers and one decimal are plain rates (12.5)
  if (decimals.size() > 12) decimals.resize(12);
  const std::string whole = d.whole.empty() ? "0" : d.whole;
  if (whole.size() > 6) return 0;
  const int k = static_cast<int>(decimals.size());
  __int128 scale = 1;
  for (int i = 0; i < k; ++i) scale *= 10;
  const __int128 written = static_cast<__int128>(std::stoll(whole)) * scale + std::stoll(decimals);
  const long double v = static_cast<long double>(written) / static_cast<long double>(scale);
  const long n = std::lround(v * 1.001L);
  if (n < 1) return 0;
  // N × 1000/1001 to k decimals, cut and rounded.
  const __int128 exact_num = static_cast<__int128>(n) * 1000 * scale;
  const __int128 cut = exact_num / 1001;
  const __int128 rounded = (2 * exact_num + 1001) / 2002;
  return written == cut || written == rounded ? n : 0;
}

Rational ParseFraction(const std::string& text, const std::string& what, bool ntsc) {
  const std::string s = text::Trim(text);
  // Examples of the kind of value asked for: a rate, or a ratio such as a pixel aspect.
  const auto bad = [&] {
    return Error(what + " \"" + text + "\" is not a positive number or ratio; write it like " +
                 (ntsc ? "30, 30000/1001 or 29.97" : "1, 10/11 or 0.9091 (greater than 0)"));
  };
  if (const size_t slash = s.find('/'); slash != std::string::npos) {
    const auto whole = [&](const std::string& part) {
      long v = 0;
      const std::string p = text::Trim(part);
      const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
      if (p.empty() || ec != std::errc() || end != p.data() + p.size() || v <= 0 || v > kLimit) throw bad();
      return v;
    };
    return Reduced(whole(s.substr(0, slash)), whole(s.substr(slash + 1)));
  }
  Decimal d;
  if (!SplitDecimal(s, &d)) throw bad();
  if (ntsc) {
    if (const long n = NtscMultiple(d); n > 0 && n <= kLimit / 1000) return Reduced(n * 1000LL, 1001);
  }
  std::string decimals = d.decimals;
  while (!decimals.empty() && decimals.back() == '0') decimals.pop_back();
  std::string digits = d.whole + decimals;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  if (digits.empty()) throw bad();  // zero
  if (digits.size() <= 18 && decimals.size() <= 18) {
    const long long num = std::stoll(digits);
    long long den = 1;
    for (size_t i = 0; i < decimals.size(); ++i) den *= 10;
    const Rational r = Reduced(num, den);
    if (r.num <= kLimit && r.den <= kLimit) return r;
  }
  // More digits than a fraction of 32-bit parts holds.
  const long double v = std::strtold(s.c_str(), nullptr);
  const Rational r = Nearest(v, 1000000);
  if (r.num <= 0 || !std::isfinite(static_cast<double>(v))) throw bad();
  return r;
}

}  // namespace

std::string Rational::Text() const { return std::to_string(num) + (den != 1 ? "/" + std::to_string(den) : ""); }

Rational ParseRatio(const std::string& text, const std::string& what) { return ParseFraction(text, what, false); }

Rational ParseRate(const std::string& text, const std::string& what) { return ParseFraction(text, what, true); }

Rational RateFromDouble(double fps) {
  if (!std::isfinite(fps) || fps <= 0 || fps > kLimit)
    throw Error("the host's frame rate " + std::to_string(fps) + " is not a positive number");
  const long n = std::lround(fps * 1.001);
  // Hosts write NTSC rates to three decimals or fewer (23.976 is 24000/1001
  // less 2.4e-5): within half a unit of the third decimal.
  if (n >= 1 && n <= kLimit / 1000 && std::fabs(fps - n * 1000.0 / 1001.0) <= 5e-4 &&
      std::fabs(fps - std::round(fps)) > fps * 1e-6)
    return Reduced(n * 1000LL, 1001);
  const Rational r = Nearest(fps, 1001);
  if (r.num <= 0) throw Error("the host's frame rate " + std::to_string(fps) + " is too small");
  return r;
}

bool IsProjectRate(const std::string& text) { return text::Lower(text::Trim(text)) == "project"; }

RateFromStamps::RateFromStamps() {
  for (long n = 10; n <= 240; ++n) candidates_.push_back({n, 1});
  for (long n : {24, 30, 48, 60, 120, 240}) candidates_.push_back(Reduced(n * 1000LL, 1001));
  std::sort(candidates_.begin(), candidates_.end(),
            [](const Rational& a, const Rational& b) { return a.num * b.den < b.num * a.den; });
}

Rational RateFromStamps::Add(double seconds) {
  if (std::isfinite(seconds) && seconds > 0) {
    // MLT's stamp is frame / (num / den) in doubles: a stamp fits a rate when
    // the nearest frame's stamp is the same to well below any two rates' gap.
    std::erase_if(candidates_, [seconds](const Rational& r) {
      const double frame = std::round(seconds * r.value());
      return std::fabs(frame / r.value() - seconds) > 1e-9;
    });
    if (!informed_ || seconds < earliest_) earliest_ = seconds;
    informed_ = true;
  }
  if (!informed_) return {30, 1};
  if (!candidates_.empty()) return candidates_.front();
  return RateFromDouble(1.0 / earliest_);
}

TimeUnit ParseTimeUnit(const std::string& t) {
  const std::string u = text::Lower(text::Trim(t));
  return u == "ms" || u == "millisecond" || u == "milliseconds" ? TimeUnit::kMilliseconds : TimeUnit::kSeconds;
}

long long Timebase::LastFrame() const { return INT_MAX / rate_.den - 1; }

A_long Timebase::TimeOf(long long frame) const {
  if (frame < 0 || frame * rate_.den > INT_MAX)
    throw Error("frame " + std::to_string(frame) + " lies beyond the host's time range at " + rate_.Text() +
                " fps; render earlier frames");
  return static_cast<A_long>(frame * rate_.den);
}

double Timebase::SecondsOf(double frame) const {
  return frame * static_cast<double>(rate_.den) / static_cast<double>(rate_.num);
}

long long Timebase::FrameAt(double host_time, TimeUnit unit) const {
  const double scale = unit == TimeUnit::kMilliseconds ? 0.001 : 1.0;
  const double frames = host_time * scale * static_cast<double>(rate_.num) / static_cast<double>(rate_.den);
  if (std::isnan(frames)) return 0;
  return std::llround(std::clamp(frames, 0.0, static_cast<double>(LastFrame())));
}

}  // namespace pluvane::session
