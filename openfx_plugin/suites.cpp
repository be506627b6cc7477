#include "openfx_plugin/suites.h"

namespace pluvane::ofx {

Suites g;

OfxStatus FetchSuites() {
  if (!g.host || !g.host->fetchSuite) return kOfxStatErrMissingHostFeature;
  const auto fetch = [](const char* name, int version) { return g.host->fetchSuite(g.host->host, name, version); };
  g.props = static_cast<const OfxPropertySuiteV1*>(fetch(kOfxPropertySuite, 1));
  g.effect = static_cast<const OfxImageEffectSuiteV1*>(fetch(kOfxImageEffectSuite, 1));
  g.params = static_cast<const OfxParameterSuiteV1*>(fetch(kOfxParameterSuite, 1));
  g.threads = static_cast<const OfxMultiThreadSuiteV1*>(fetch(kOfxMultiThreadSuite, 1));
  // Version 2 begins with version 1's function.
  g.messages = static_cast<const OfxMessageSuiteV1*>(fetch(kOfxMessageSuite, 2));
  if (!g.messages) g.messages = static_cast<const OfxMessageSuiteV1*>(fetch(kOfxMessageSuite, 1));
  return g.ready() ? kOfxStatOK : kOfxStatErrMissingHostFeature;
}

void Check(OfxStatus st, const char* what) {
  if (st != kOfxStatOK) throw Failure{kOfxStatFailed, std::string("the host could not ") + what};
}

namespace {
void Must(OfxStatus st, const char* name) {
  if (st != kOfxStatOK)
    throw Failure{kOfxStatFailed, std::string("the host could not take the property ") + name +
                                      " of the plug-in, which pluvane needs" +
                                      (st == kOfxStatErrUnknown ? " (the host does not know it)" : "")};
}
}  // namespace

void SetString(OfxPropertySetHandle p, const char* name, const char* value, int index) {
  Must(g.props->propSetString(p, name, index, value), name);
}
void SetInt(OfxPropertySetHandle p, const char* name, int value, int index) {
  Must(g.props->propSetInt(p, name, index, value), name);
}
void SetDouble(OfxPropertySetHandle p, const char* name, double value, int index) {
  Must(g.props->propSetDouble(p, name, index, value), name);
}
void SetStrings(OfxPropertySetHandle p, const char* name, const std::vector<std::string>& values) {
  for (size_t i = 0; i < values.size(); ++i) SetString(p, name, values[i].c_str(), static_cast<int>(i));
}

bool MaySetString(OfxPropertySetHandle p, const char* name, const char* value) {
  return g.props->propSetString(p, name, 0, value) == kOfxStatOK;
}
bool MaySetInt(OfxPropertySetHandle p, const char* name, int value) {
  return g.props->propSetInt(p, name, 0, value) == kOfxStatOK;
}

std::string GetString(OfxPropertySetHandle p, const char* name, const std::string& otherwise) {
  char* s = nullptr;
  if (!p || g.props->propGetString(p, name, 0, &s) != kOfxStatOK || !s) return otherwise;
  return s;
}
double GetDouble(OfxPropertySetHandle p, const char* name, double otherwise, int index) {
  double v = otherwise;
  if (!p || g.props->propGetDouble(p, name, index, &v) != kOfxStatOK) return otherwise;
  return v;
}

int GetInt(OfxPropertySetHandle p, const char* name, int otherwise) {
  int v = otherwise;
  if (!p || g.props->propGetInt(p, name, 0, &v) != kOfxStatOK) return otherwise;
  return v;
}

void Post(void* handle, const char* type, const std::string& text) {
  if (g.messages && g.messages->message) g.messages->message(handle, type, "", "%s", text.c_str());
}

}  // namespace pluvane::ofx
