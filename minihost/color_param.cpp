// "PF ColorParamSuite".
#include "callbacks.h"

namespace minihost {

void RegisterColorParamSuite(MiniHost&) {}

}  // namespace minihost
