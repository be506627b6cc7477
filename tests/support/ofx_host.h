// A small OpenFX host for the tests and benchmarks: loads a plug-in bundle,
// serves the suites the plug-in calls over plain structures a test fills in,
// and runs its actions. Any suite call can be made to fail (`fail`), which no
// real host does on purpose (a real host's quirks: tests/openfx/ofxcheck_test.py).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "ofx_api/ofx_api.h"

namespace ofxtest {

using Value = std::variant<std::string, double, int, void*>;

struct PropertySet {
  std::map<std::string, std::vector<Value>> props;
  void Strings(const std::string& name, const std::vector<std::string>& v) { props[name].assign(v.begin(), v.end()); }
  void Doubles(const std::string& name, const std::vector<double>& v) { props[name].assign(v.begin(), v.end()); }
  void Ints(const std::string& name, const std::vector<int>& v) { props[name].assign(v.begin(), v.end()); }
  template <typename T>
  T Get(const std::string& name) const {  // the first value; T{} when missing
    const auto it = props.find(name);
    const T* v = it != props.end() && !it->second.empty() ? std::get_if<T>(&it->second[0]) : nullptr;
    return v ? *v : T{};
  }
  OfxPropertySetHandle handle() { return reinterpret_cast<OfxPropertySetHandle>(this); }
};

struct Param {
  std::string type, name;
  PropertySet props;
  std::vector<double> value;  // 1, 2 or 3 numbers; a choice as its index
};

// Pixels a clip hands out: RGBA, RGB or Alpha samples of one depth over
// `bounds` (pixel coordinates), packed top-down (handed over with negative
// row bytes; ofxcheck hands rows over both ways).
struct Picture {
  OfxRectI bounds{0, 0, 0, 0};
  std::string depth = kOfxBitDepthByte;
  std::string components = kOfxImageComponentRGBA;
  std::string premultiplication = kOfxImageUnPreMultiplied;
  std::vector<unsigned char> memory;
  size_t row_bytes() const;
  void Allocate();  // memory for the bounds, filled with a pattern
};

struct Clip {
  PropertySet props;
  OfxRectD rod{0, 0, 0, 0};
  Picture* picture = nullptr;  // none: clipGetImage fails
};

struct Effect {
  PropertySet props;
  std::vector<std::unique_ptr<Param>> params;
  std::map<std::string, std::unique_ptr<Clip>> clips;
  OfxImageEffectHandle handle() { return reinterpret_cast<OfxImageEffectHandle>(this); }
};

// What an instance is made over: the source clip's layer and how the host renders it.
struct Layout {
  int width = 64, height = 36;  // full-resolution pixels, from 0,0
  double fps = 25.0;
  std::string depth = kOfxBitDepthByte;
  std::string components = kOfxImageComponentRGBA;
  std::string premultiplication = kOfxImageUnPreMultiplied;
};

class Host {
 public:
  explicit Host(const std::string& bundle);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool loaded() const { return plugin_ != nullptr; }
  OfxPlugin* plugin() const { return plugin_; }
  // Asked before every suite call with its name and what it names ("propGet
  // OfxPropTime", "clipGetImage Source", "paramGetValue dripRate", "abort"):
  // true fails the call (a host asking to stop, for abort). It may block.
  std::function<bool(const std::string& call)> fail;

  OfxStatus Call(const char* action, const void* handle, PropertySet* in = nullptr);  // no out arguments
  OfxStatus Load();  // setHost, then the load action
  OfxStatus Describe();
  OfxStatus DescribeInContext(const std::string& context);
  // A new instance of the context's descriptor over `layout`; null when the
  // plug-in refused it (*status says how).
  Effect* CreateInstance(const std::string& context, const Layout& layout, OfxStatus* status = nullptr);
  OfxStatus DestroyInstance(Effect* instance);

  std::vector<std::string> messages() const;  // "TYPE: text", in order
  void Post(const std::string& message);

 private:
  void* so_ = nullptr;
  OfxPlugin* plugin_ = nullptr;
  PropertySet host_props_;
  OfxHost ofx_host_{};
  Effect descriptor_;
  std::map<std::string, std::unique_ptr<Effect>> contexts_;
  std::vector<std::unique_ptr<Effect>> instances_;
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

}  // namespace ofxtest
