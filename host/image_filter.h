// An image-filter server of a loaded module, with one instance: its options
// request and its processing of rendered frames.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/filter_session.h"
#include "host/instance.h"
#include "host/module_host.h"

namespace host {

class ImageFilter {
public:
    // Activates the "ImageFilterHandler" of `server_name` and, when the
    // module has one, its "ImageFilterInterface", then creates an instance.
    // Throws HostError when the handler is missing, refuses activation or
    // creates no instance. The module must outlive the filter.
    ImageFilter(const Module& module, const std::string& server_name);
    ImageFilter(const ImageFilter&) = delete;
    ImageFilter& operator=(const ImageFilter&) = delete;

    Instance& instance() { return *instance_; }
    const Instance& instance() const { return *instance_; }

    // The render buffers the filter asks for, as a bit mask by buffer number.
    uint32_t flags() const;

    bool has_options() const { return has_interface_; }
    // Runs the options request. Throws HostError with the server's error
    // text, or when the server has no interface.
    void options();

    // Lines to withhold from the filter (none by default).
    void set_line_filter(LineFilter filter) { line_filter_ = std::move(filter); }

    // Filters one frame and returns the output: the colour buffers as the
    // filter set them, zero where it set nothing, numbered as the input.
    Frame process(const Frame& input);
    // Filters one frame into `output`, which must have the input's size and
    // is reused as it stands: pixels the filter does not set keep their
    // values. Spares a new output frame per call.
    void process(const Frame& input, Frame& output) { process_into(input, output); }

    // Filters frames one after another in one call: `next` gives each input
    // (null ends the sequence; a frame stays valid until the next call), and
    // `done` receives each input with its output before the next one starts.
    using FrameSource = std::function<const Frame*()>;
    using FrameSink = std::function<void(const Frame& input, const Frame& output)>;
    void process_sequence(const FrameSource& next, const FrameSink& done);
    std::vector<Frame> process_sequence(std::span<const Frame> inputs);

    // What the filter did during the last frame.
    const FilterCounts& last_counts() const { return last_counts_; }

private:
    void process_into(const Frame& input, Frame& output);

    InstanceOps instance_ops_{};
    ItemOps item_ops_{};
    ImageHandlerRecord handler_{};
    InterfaceRecord interface_{};
    bool has_interface_ = false;
    std::unique_ptr<Instance> instance_;
    LineFilter line_filter_;
    FilterCounts last_counts_;
};

}  // namespace host
