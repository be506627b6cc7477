// The two render protocols: smart pre-render followed by smart render (with
// the layer checkout callbacks), and the classic render command.
#include "minihost/callbacks.h"

namespace minihost {
namespace {

PF_LRect Extent(const PF_EffectWorld* w) {
  if (!w) return {0, 0, 0, 0};
  return {w->origin_x, w->origin_y, w->origin_x + w->width, w->origin_y + w->height};
}

// Pre-render: registers a checkout of the input layer and reports the
// largest area the input can supply (its whole extent).
PF_Err CheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long checkout_id, const PF_RenderRequest* req,
                     A_long, A_long, A_u_long, PF_CheckoutResult* result) {
  CallContext* ctx = MiniHost::ContextFromRef(ref);
  if (index != 0 || !req || !result) return PF_Err_BAD_CALLBACK_PARAM;
  ctx->checkouts[checkout_id] = *req;
  const PF_LRect extent = Extent(ctx->input);
  result->max_result_rect = extent;
  // What the input gives for the request: the request cut to the extent.
  result->result_rect = {std::max(req->rect.left, extent.left), std::max(req->rect.top, extent.top),
                         std::min(req->rect.right, extent.right), std::min(req->rect.bottom, extent.bottom)};
  return PF_Err_NONE;
}

PF_Err CheckoutLayerPixels(PF_ProgPtr ref, A_long checkout_id, PF_EffectWorld** pixels) {
  CallContext* ctx = MiniHost::ContextFromRef(ref);
  if (!pixels) return PF_Err_BAD_CALLBACK_PARAM;
  if (!ctx->checkouts.count(checkout_id)) {
    *pixels = nullptr;
    return PF_Err_BAD_CALLBACK_PARAM;  // never checked out in pre-render
  }
  *pixels = ctx->input;
  return PF_Err_NONE;
}

PF_Err CheckinLayerPixels(PF_ProgPtr, A_long) { return PF_Err_NONE; }

PF_Err CheckoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
  CallContext* ctx = MiniHost::ContextFromRef(ref);
  if (!output) return PF_Err_BAD_CALLBACK_PARAM;
  *output = ctx->output;
  return PF_Err_NONE;
}

}  // namespace

PF_Err MiniHost::RenderFrame(const FrameRequest& request, FrameResult* result) {
  FrameResult local;
  FrameResult& res = result ? *result : local;

  if (request.protocol == Protocol::kClassic) {
    CallContext ctx;
    PrepareContext(ctx, request.time, request.input);
    return Invoke(PF_Cmd_RENDER, ctx, request.output, nullptr);
  }

  PF_RenderRequest rr{};
  rr.rect = request.has_request ? request.request : Extent(request.output);
  rr.channel_mask = 0xF;

  // Pre-render and render are separate calls, as a host makes them; the
  // checkouts registered in the first are what the second may ask for.
  CallContext pre;
  PrepareContext(pre, request.time, request.input);
  PF_PreRenderCallbacks pre_cb{CheckoutLayer};
  if (Interposer* interposer = CurrentInterposer()) pre_cb = interposer->PreRender(pre_cb);
  PF_PreRenderInput pre_in{rr, 0};
  PF_PreRenderOutput pre_out{};
  PF_PreRenderExtra pre_extra{&pre_in, &pre_out, &pre_cb};
  res.pre_render_err = Invoke(PF_Cmd_SMART_PRE_RENDER, pre, nullptr, &pre_extra);
  res.result_rect = pre_out.result_rect;
  res.max_result_rect = pre_out.max_result_rect;
  res.checkouts.clear();
  for (auto& [id, r] : pre.checkouts) res.checkouts.push_back({id, r.rect});
  if (res.pre_render_err) return res.pre_render_err;

  CallContext ctx;
  PrepareContext(ctx, request.time, request.withhold_input ? nullptr : request.input);
  ctx.checkouts = pre.checkouts;
  ctx.output = request.withhold_output ? nullptr : request.output;
  PF_SmartRenderCallbacks cb{CheckoutLayerPixels, CheckinLayerPixels, CheckoutOutput};
  if (Interposer* interposer = CurrentInterposer()) cb = interposer->SmartRender(cb);
  PF_SmartRenderInput in{rr, 0};
  PF_SmartRenderExtra extra{&in, &cb};
  return Invoke(PF_Cmd_SMART_RENDER, ctx, nullptr, &extra);
}

}  // namespace minihost
