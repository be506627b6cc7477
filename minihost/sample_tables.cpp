#include "minihost/sample_tables.h"

#include "minihost/callbacks.h"

namespace minihost {

std::shared_ptr<SampleTables> NewSampleTables() { return std::make_shared<SampleTables>(); }

void ForgetSampleTables(CallContext* ctx, const PF_EffectWorld* world) {
  if (!ctx || !ctx->sample_tables || !world || !world->data) return;
  SampleTables& t = *ctx->sample_tables;
  std::lock_guard<std::mutex> lock(t.mutex);
  for (auto it = t.live.begin(); it != t.live.end();) {
    if ((*it)->data == world->data) {  // the world itself, or another record of its pixels
      if (t.last.load() == it->get()) t.last.store(nullptr);
      t.retired.push_back(std::move(*it));
      it = t.live.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace minihost
