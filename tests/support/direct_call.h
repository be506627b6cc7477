// One host call made by hand, for tests that call module functions directly:
// the call context at `time`, the host current on this thread, and the call's
// Fxenv (destroyed first, releasing the suites it acquired).
#pragma once

#include <memory>

#include "minihost/host.h"
#include "common/fxenv.h"

struct DirectCall {
  DirectCall(minihost::MiniHost& host, A_long time) : current(&host) {
    host.PrepareContext(ctx, time);
    env = std::make_unique<Fxenv>(&ctx.in_data, &ctx.out_data, ctx.param_ptrs.data(), nullptr);
  }
  PF_InData* in() { return &ctx.in_data; }

  minihost::ScopedCurrentHost current;
  minihost::CallContext ctx;
  std::unique_ptr<Fxenv> env;
};
