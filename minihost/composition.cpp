#include "composition.h"

namespace minihost {

void RegisterCompositionSuites(MiniHost&) {}

}  // namespace minihost
