// What a render says when it is done: the files written, and with --stats the
// time of every frame and the throughput.
#pragma once

#include <ostream>
#include <string>

#include "cli/plan.h"

namespace pluvane::cli {

// One line naming what was written (and the audio's note for a video).
void PrintSummary(const RenderPlan& plan, const RenderSummary& summary, const std::string& audio_note, std::ostream& out);
// Each frame's render time, then the totals; `wall` is the whole render's time in seconds.
void PrintStats(const RenderPlan& plan, const RenderSummary& summary, double wall, std::ostream& out);

}  // namespace pluvane::cli
