// The sampling suites.
#include "callbacks.h"

namespace minihost {

void RegisterSamplingSuites(MiniHost&) {}

}  // namespace minihost
