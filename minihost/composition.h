// The composition around the effect's layer, served to the effect through
// the AEGP suites.
#pragma once

#include "host.h"

namespace minihost {

class Composition {
 public:
  explicit Composition(MiniHost& host) : host_(host) {}

 private:
  MiniHost& host_;
};

}  // namespace minihost
