#include "minihost/probe.h"

#include <atomic>

namespace minihost {
namespace {

std::atomic<Interposer*> g_interposer{nullptr};

}  // namespace

Interposer* CurrentInterposer() { return g_interposer.load(std::memory_order_acquire); }

void SetInterposer(Interposer* interposer) { g_interposer.store(interposer, std::memory_order_release); }

}  // namespace minihost
