// A pixel filter server of a module, as a renderer runs it: one instance,
// its options, and for each render init, then per frame new_time and
// evaluate for every pixel, then cleanup.
#pragma once

#include <memory>
#include <string>

#include "host/instance.h"
#include "host/module_host.h"
#include "host/frame.h"

namespace host {

using EvaluateFn = void (*)(void* instance, const PixelAccess* access);

// Calls `evaluate` for every pixel of `frame`, whole-number positions, on
// `threads` threads (at least one, at most one per band of 16 rows) that
// take bands of rows in turn. The result does not depend on the thread
// count as long as `evaluate` touches only its own pixel. Through the
// PixelAccess, buffers the frame does not hold (and numbers outside 0..35)
// read as 0 and ignore writes; a PixelAccess kept and called outside the
// call reads 0 and writes nothing.
void evaluate_pixels(Frame& frame, EvaluateFn evaluate, void* instance, int threads);

// The module must outlive the filter: the filter calls its operations.
class PixelFilter {
public:
    // Activates the "PixelFilterHandler" of `server_name` and creates an
    // instance. Throws HostError when the activation refuses or create fails.
    PixelFilter(const Module& module, std::string server_name);
    PixelFilter(const PixelFilter&) = delete;
    PixelFilter& operator=(const PixelFilter&) = delete;

    Instance& instance() { return *instance_; }
    const Instance& instance() const { return *instance_; }
    const PixelHandlerRecord& record() const { return record_; }
    uint32_t flags() const { return record_.flags(instance_->get()); }

    // Activates the server's "PixelFilterInterface" and runs its options on
    // the instance. Throws HostError with the returned error text.
    void options();

    // Render operations; init and new_time throw HostError with the returned
    // error text. RenderPass pairs them for a whole render.
    void init();
    void new_time(int32_t frame, double time);
    void cleanup();

    // The module's evaluate over every pixel of `frame`: evaluate_pixels.
    void evaluate(Frame& frame, int threads) const;

private:
    const Module& module_;
    std::string server_name_;
    InstanceOps instance_ops_{};
    ItemOps item_ops_{};
    RenderOps render_ops_{};
    PixelHandlerRecord record_{};
    std::unique_ptr<Instance> instance_;
};

// One render: init when made, cleanup when it goes (also after a failure).
class RenderPass {
public:
    explicit RenderPass(PixelFilter& filter);
    ~RenderPass();
    RenderPass(const RenderPass&) = delete;
    RenderPass& operator=(const RenderPass&) = delete;

    // new_time with the frame's number, then evaluate over it.
    void filter_frame(Frame& frame, double time, int threads);

private:
    PixelFilter& filter_;
};

}  // namespace host
