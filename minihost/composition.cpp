#include "composition.h"

namespace minihost {

Composition::Composition(MiniHost& host) : host_(host) { layers_.push_back(Layer{}); }

void RegisterCompositionSuites(MiniHost&) {}

}  // namespace minihost
