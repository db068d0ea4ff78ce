#include "host/image_filter.h"

#include <algorithm>
#include <cerrno>

#include "host/boundary.h"

namespace host {

ImageFilter::ImageFilter(const Module& module, const std::string& server_name) {
    handler_.instance_ops = &instance_ops_;
    handler_.item_ops = &item_ops_;
    const int32_t result = module.activate(CLASS_IMAGE_FILTER_HANDLER, server_name, &handler_);
    if (result != ACTIVATE_OK || handler_.process == nullptr || instance_ops_.create == nullptr) {
        throw HostError(module.path() + ": image filter \"" + server_name +
                        "\" refused activation (result " + std::to_string(result) + ")");
    }
    if (module.find(CLASS_IMAGE_FILTER_INTERFACE, server_name) != nullptr) {
        has_interface_ = module.activate(CLASS_IMAGE_FILTER_INTERFACE, server_name, &interface_) == ACTIVATE_OK &&
                         interface_.options != nullptr;
    }
    instance_ = std::make_unique<Instance>(instance_ops_);
    interface_.instance = instance_->get();
}

uint32_t ImageFilter::flags() const {
    return handler_.flags ? handler_.flags(instance_->get()) : 0;
}

void ImageFilter::options() {
    if (!has_interface_) throw HostError("the image filter has no options request");
    check_error_text(call_module(interface_.options, interface_.instance));
}

void ImageFilter::process_into(const Frame& input, Frame& output) {
    FilterSession session(input, output, line_filter_);
    // What errno holds when the filter shows a message is then its own doing.
    errno = 0;
    call_module(handler_.process, instance_->get(), session.access());
    last_counts_ = session.counts();
    session.rethrow_failure();
}

Frame ImageFilter::process(const Frame& input) {
    Frame output(input.width(), input.height(), input.number(), Frame::COLOUR_BUFFERS);
    process_into(input, output);
    return output;
}

void ImageFilter::process_sequence(const FrameSource& next, const FrameSink& done) {
    // One output frame serves the whole sequence while the size stays.
    std::unique_ptr<Frame> output;
    while (const Frame* input = next()) {
        if (!output || output->width() != input->width() || output->height() != input->height()) {
            output = std::make_unique<Frame>(input->width(), input->height(), input->number(),
                                             Frame::COLOUR_BUFFERS);
        } else {
            for (int32_t buffer : Frame::COLOUR_BUFFERS) {
                std::span<float> samples = output->samples(buffer);
                std::fill(samples.begin(), samples.end(), 0.0f);
            }
            output->set_number(input->number());
        }
        process_into(*input, *output);
        done(*input, *output);
    }
}

std::vector<Frame> ImageFilter::process_sequence(std::span<const Frame> inputs) {
    std::vector<Frame> outputs;
    outputs.reserve(inputs.size());
    std::size_t next_index = 0;
    process_sequence([&]() { return next_index < inputs.size() ? &inputs[next_index++] : nullptr; },
                     [&](const Frame&, const Frame& output) { outputs.push_back(output); });
    return outputs;
}

}  // namespace host
