// A small OpenFX host for the tests: loads a plug-in bundle (dlopen; LoadLibrary on Windows) and
// drives it as hosts do (load, describe, describe in context, instances,
// clip preferences, regions, renders, changes, unload). It keeps property
// sets, parameters with keyframes (linear in frames, held outside the keys),
// clips whose images are stored bottom-up or top-down with any bounds, runs
// the MultiThread suite on its own threads, logs messages, and can be told to
// withhold a suite or fail a call, or not know a property (Quirks). (The
// plug-in's names and types against the standard's are checked in ofxcheck,
// a host on the official host library: tests/openfx/ofxcheck_test.py.)
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ofx_api/ofx_api.h"

namespace ofxtest {

// One property: strings, doubles, ints or pointers.
struct Property {
  char kind = 's';  // 's', 'd', 'i', 'p'
  std::vector<std::string> s;
  std::vector<double> d;
  std::vector<int> i;
  std::vector<void*> p;
  int size() const;
};

class PropertySet {
 public:
  std::map<std::string, Property> props;
  void Strings(const std::string& name, std::vector<std::string> v);
  void Doubles(const std::string& name, std::vector<double> v);
  void Ints(const std::string& name, std::vector<int> v);
  void Pointer(const std::string& name, void* v);
  const Property* Find(const std::string& name) const;
  std::string String(const std::string& name, int index = 0) const;  // "" when missing
  std::vector<std::string> AllStrings(const std::string& name) const;
  double Double(const std::string& name, int index = 0) const;  // NaN when missing
  int Int(const std::string& name, int index = 0) const;        // -1 when missing
  OfxPropertySetHandle handle() { return reinterpret_cast<OfxPropertySetHandle>(this); }
};

struct Key {
  double frame;
  std::vector<double> values;
};

struct Param {
  std::string type, name;
  PropertySet props;
  std::vector<double> value;  // doubles: 1, 2 or 3; choices: the index in value[0]
  std::vector<Key> keys;
  // The value at `frame` into out[0..value.size()).
  void At(double frame, double* out) const;
};

struct ParamSet {
  std::vector<std::unique_ptr<Param>> params;
  Param* Find(const std::string& name) const;
};

// Pixels a clip hands out: RGBA or RGB samples of one type, `bounds` in
// pixel coordinates, stored bottom-up (rows going up in memory, the usual
// layout) or top-down (negative row bytes), with padding at each row's end.
struct Picture {
  OfxRectI bounds{0, 0, 0, 0};
  std::string depth = kOfxBitDepthByte;
  std::string components = kOfxImageComponentRGBA;
  std::string premultiplication = kOfxImageUnPreMultiplied;
  bool top_down = false;
  std::vector<unsigned char> memory;
  std::ptrdiff_t row_bytes = 0;  // from one row to the one above
  unsigned char* origin = nullptr;  // the pixel (bounds.x1, bounds.y1)
  int sample_size() const;
  int channels() const;
  void Allocate();  // memory for the bounds, cleared to a pattern
  // Packed top-down samples (channels() per pixel) in and out.
  void Put(const std::vector<unsigned char>& packed);
  std::vector<unsigned char> Get() const;
};

struct Clip {
  std::string name;
  PropertySet props;
  OfxRectD rod{0, 0, 0, 0};
  Picture* picture = nullptr;
};

struct Effect {
  PropertySet props;
  ParamSet params;
  std::map<std::string, std::unique_ptr<Clip>> clips;
  std::atomic<bool> abort{false};
  OfxImageEffectHandle handle() { return reinterpret_cast<OfxImageEffectHandle>(this); }
};

// Calls a test can make fail.
struct Faults {
  std::set<std::string> missing_suites;  // fetchSuite answers null for these names
  bool fail_param_reads = false;        // paramGetValueAtTime answers kOfxStatErrUnknown
  bool fail_get_image = false;          // clipGetImage answers kOfxStatFailed
  bool null_image_data = false;         // images without a data pointer
  bool fail_multithread = false;        // multiThread answers kOfxStatFailed
  bool fail_get_param_handle = false;   // paramGetHandle answers kOfxStatErrUnknown
  std::function<void()> on_param_read;  // called at every parameter read (may block it)
};

// Where a host differs from the standard. (The differences of real hosts,
// each alone and all at once, are tried in ofxcheck: tests/openfx/ofxcheck_test.py.)
struct Quirks {
  // Properties the host does not know: setting or getting them answers kOfxStatErrUnknown.
  std::set<std::string> unknown_properties;
};

// What an instance is made over: the source clip's layer and how the host renders it.
struct Layout {
  int width = 64, height = 36;     // full-resolution pixels
  double par = 1.0;
  double fps = 25.0;
  OfxPointD origin{0, 0};          // the source's region starts here (canonical)
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
  void* library() const { return so_; }
  Faults& faults() { return faults_; }
  Quirks& quirks() { return quirks_; }
  OfxHost* ofx_host() { return &ofx_host_; }

  OfxStatus Call(const char* action, const void* handle, PropertySet* in = nullptr, PropertySet* out = nullptr);
  OfxStatus Load();    // setHost, then the load action
  OfxStatus Unload();
  OfxStatus Describe();  // the descriptor's properties
  OfxStatus DescribeInContext(const std::string& context);
  Effect& descriptor() { return descriptor_; }
  Effect& context_descriptor(const std::string& context) { return *contexts_.at(context); }

  // A new instance of the context's descriptor over `layout`; null when the
  // plug-in refused it (*status says how).
  Effect* CreateInstance(const std::string& context, const Layout& layout, OfxStatus* status = nullptr);
  OfxStatus DestroyInstance(Effect* instance);

  // The messages the plug-in posted, in order.
  std::vector<std::string> messages() const;
  void Post(const std::string& message);

  PropertySet host_props;

 private:
  void* so_ = nullptr;
  OfxPlugin* plugin_ = nullptr;
  OfxHost ofx_host_{};
  Faults faults_;
  Quirks quirks_;
  Effect descriptor_;
  std::map<std::string, std::unique_ptr<Effect>> contexts_;
  std::vector<std::unique_ptr<Effect>> instances_;
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

// The host serving the suites now (one at a time).
Host* CurrentHost();

}  // namespace ofxtest
