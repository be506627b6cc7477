// The host's suites as the plug-in holds them, and its property suite in the
// plug-in's terms: what a property must be (a failure stops the action with
// one sentence naming it) and what it may be (skipped when the host does not
// know it: hosts differ in which optional properties they carry).
#pragma once

#include <string>
#include <vector>

#include "ofx_api/ofx_api.h"

namespace pluvane::ofx {

struct Suites {
  OfxHost* host = nullptr;
  const OfxPropertySuiteV1* props = nullptr;
  const OfxImageEffectSuiteV1* effect = nullptr;
  const OfxParameterSuiteV1* params = nullptr;
  const OfxMultiThreadSuiteV1* threads = nullptr;  // optional
  const OfxMessageSuiteV1* messages = nullptr;     // optional
  bool ready() const { return props && effect && params; }
};
extern Suites g;

// Fetches the suites from the host set by setHost; kOfxStatErrMissingHostFeature
// without the three the plug-in cannot work without.
OfxStatus FetchSuites();

// A failure of the host or of the frame, with the status the action returns
// and one sentence for the host's message suite.
struct Failure {
  OfxStatus status;
  std::string message;
};

void Check(OfxStatus st, const char* what);

// Properties the plug-in must set: Failure naming the property when the host refuses.
void SetString(OfxPropertySetHandle p, const char* name, const char* value, int index = 0);
void SetInt(OfxPropertySetHandle p, const char* name, int value, int index = 0);
void SetDouble(OfxPropertySetHandle p, const char* name, double value, int index = 0);
void SetStrings(OfxPropertySetHandle p, const char* name, const std::vector<std::string>& values);

// Properties the plug-in may set: true when the host took it, false when the
// host does not know it (or refused it), which leaves it to the host.
bool MaySetString(OfxPropertySetHandle p, const char* name, const char* value);
bool MaySetInt(OfxPropertySetHandle p, const char* name, int value);

std::string GetString(OfxPropertySetHandle p, const char* name, const std::string& otherwise = "");
double GetDouble(OfxPropertySetHandle p, const char* name, double otherwise, int index = 0);
int GetInt(OfxPropertySetHandle p, const char* name, int otherwise);

// One message to the host about `handle` (an instance or a descriptor); nothing
// when the host has no message suite.
void Post(void* handle, const char* type, const std::string& text);

}  // namespace pluvane::ofx
