#include "bench/rigs.h"

#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "module/file.h"
#include "zbuf/zbuf.h"
#include "zcomp/zcomp.h"
#include "zsave/zsave.h"

namespace bench {
namespace {

std::string numbered_name(const std::string& base, int32_t number) {
    char name[ZBUF_NAME_CAPACITY];
    if (!format_zbuf_file_name(name, base.c_str(), number)) throw std::runtime_error("file name too long: " + base);
    return name;
}

OIIO::ImageSpec rgbaz_spec(int32_t width, int32_t height) {
    OIIO::ImageSpec spec(width, height, 5, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"R", "G", "B", "A", "Z"};
    spec.alpha_channel = 3;
    spec.z_channel = 4;
    return spec;
}

}  // namespace

// ---- saver --------------------------------------------------------------------

SaverRig::SaverRig(const host::Module& module, const ScratchDir& dir, const std::string& base,
                   const host::Frame& input)
    : filter_(module, "OBK_ZSave"),
      input_(input),
      output_(input.width(), input.height(), 0, host::Frame::COLOUR_BUFFERS),
      base_(dir.file(base)) {
    auto& state = *static_cast<ZSaveInstance*>(filter_.instance().get());
    if (std::snprintf(state.full_name, sizeof state.full_name, "%s", base_.c_str()) >= int(sizeof state.full_name)) {
        throw std::runtime_error("scratch path too long: " + base_);
    }
    input_.set_number(0);
}

void SaverRig::save_next() {
    input_.set_number(input_.number() + 1);
    filter_.process(input_, output_);
}

std::string SaverRig::last_file() const { return numbered_name(base_, input_.number()); }

void SaverRig::drop_last_file() const { std::remove(last_file().c_str()); }

SaverLimit::SaverLimit(const ScratchDir& dir, const host::Frame& input)
    : input_(input),
      output_(input.width(), input.height(), 0, host::Frame::COLOUR_BUFFERS),
      base_(dir.file("limit")) {}

void SaverLimit::save_next() {
    for (int32_t buffer : host::Frame::COLOUR_BUFFERS) {
        const std::span<const float> from = input_.samples(buffer);
        std::memcpy(output_.samples(buffer).data(), from.data(), from.size_bytes());
    }
    ++number_;
    File file(std::fopen(numbered_name(base_, number_).c_str(), "wb"));
    if (!file) throw std::runtime_error("cannot open a file in the scratch directory");
    const std::size_t row_bytes = std::size_t(input_.width()) * sizeof(float);
    for (int32_t y = 0; y < input_.height(); ++y) {
        if (std::fwrite(input_.line(BUF_DEPTH, y), 1, row_bytes, file.get()) != row_bytes) {
            throw std::runtime_error("write failed");
        }
    }
    if (std::fclose(file.release()) != 0) throw std::runtime_error("write failed");
}

void SaverLimit::drop_last_file() const { std::remove(numbered_name(base_, number_).c_str()); }

// ---- loader -------------------------------------------------------------------

void read_rows(const std::string& path, long skip, int32_t width, int32_t height, float* pixels) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file || std::fseek(file.get(), skip, SEEK_SET) != 0) throw std::runtime_error("cannot read " + path);
    const std::size_t row = std::size_t(width);
    for (int32_t y = 0; y < height; ++y) {
        if (std::fread(pixels + row * std::size_t(y), sizeof(float), row, file.get()) != row) {
            throw std::runtime_error(path + " is short");
        }
    }
}

void oiio_read_depth(const std::string& path, int32_t width, int32_t height) {
    auto input = OIIO::ImageInput::open(path);
    if (!input) throw std::runtime_error("OpenImageIO cannot open " + path);
    std::unique_ptr<float[]> pixels(new float[std::size_t(width) * std::size_t(height)]);
    if (!input->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, pixels.get())) {
        throw std::runtime_error("OpenImageIO cannot read " + path + ": " + input->geterror());
    }
}

void oiio_write_depth(const std::string& path, const host::Frame& frame) {
    OIIO::ImageSpec spec(frame.width(), frame.height(), 1, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"Z"};
    spec.attribute("compression", "none");
    auto output = OIIO::ImageOutput::create(path);
    if (!output || !output->open(path, spec) ||
        !output->write_image(OIIO::TypeDesc::FLOAT, frame.samples(BUF_DEPTH).data()) || !output->close()) {
        throw std::runtime_error("OpenImageIO cannot write " + path);
    }
}

// ---- compositor ---------------------------------------------------------------

CompositorRig::CompositorRig(const host::Module& module, host::ImageList&, host::SceneInfo& scene,
                             const host::Frame& frame, ImageId depth, ImageId comp)
    : filter_(module, "OBK_ZComp"), original_(frame), work_(frame) {
    auto& state = *static_cast<ZCompInstance*>(filter_.instance().get());
    state.depth_image = depth;
    state.comp_image = comp;
    scene.set_frame_size(frame.width(), frame.height());
    pass_ = std::make_unique<host::RenderPass>(filter_);
    filter_.new_time(frame.number(), 0.0);
}

CompositorRig::~CompositorRig() = default;

FusedRig::FusedRig(const host::Frame& frame, const host::Image& depth, const host::Image& comp)
    : original_(frame), work_(frame), depth_(depth), comp_(comp) {}

void FusedRig::evaluate(int threads) {
    const PlainPlanes planes{work_.samples(BUF_RED).data(),  work_.samples(BUF_GREEN).data(),
                             work_.samples(BUF_BLUE).data(), work_.samples(BUF_DEPTH).data(),
                             depth_.pixels.data(),           comp_.pixels.data()};
    fused_composite_threads(planes, work_.width(), work_.height(), threads);
}

ZoverRig::ZoverRig(const host::Frame& frame, const host::Image& depth, const host::Image& comp)
    : front_(rgbaz_spec(frame.width(), frame.height())),
      back_(rgbaz_spec(frame.width(), frame.height())),
      result_(rgbaz_spec(frame.width(), frame.height())) {
    auto* front = static_cast<float*>(front_.localpixels());
    auto* back = static_cast<float*>(back_.localpixels());
    const std::size_t pixels = std::size_t(frame.width()) * std::size_t(frame.height());
    const float* planes[5] = {frame.samples(BUF_RED).data(), frame.samples(BUF_GREEN).data(),
                              frame.samples(BUF_BLUE).data(), frame.samples(BUF_ALPHA).data(),
                              frame.samples(BUF_DEPTH).data()};
    for (std::size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 4; ++c) front[5 * i + c] = comp.pixels[4 * i + c];
        front[5 * i + 4] = depth.pixels[i];
        for (int c = 0; c < 5; ++c) back[5 * i + c] = planes[c][i];
    }
}

void ZoverRig::evaluate(int threads) {
    if (!OIIO::ImageBufAlgo::zover(result_, front_, back_, false, {}, threads)) {
        throw std::runtime_error("zover failed: " + result_.geterror());
    }
}

bool same_frames(const host::Frame& a, const host::Frame& b) {
    for (int32_t buffer : host::Frame::ALL_BUFFERS) {
        if (a.has(buffer) != b.has(buffer)) return false;
        if (!a.has(buffer)) continue;
        const auto x = a.samples(buffer);
        const auto y = b.samples(buffer);
        if (x.size() != y.size() || std::memcmp(x.data(), y.data(), x.size_bytes()) != 0) return false;
    }
    return true;
}

}  // namespace bench
