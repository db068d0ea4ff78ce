// What each benchmark runs: the plug-in's three servers through the host,
// their limits on plain buffers, and OpenImageIO doing the same jobs.
#pragma once

#include <OpenImageIO/imagebuf.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/workload.h"
#include "host/image_filter.h"
#include "host/image_list.h"
#include "host/module_host.h"
#include "host/pixel_filter.h"
#include "host/scene_info.h"

namespace bench {

// The depth saver through the host. Every save writes a new file (the next
// frame number); drop_last_file() removes it again, outside the timing.
class SaverRig {
public:
    SaverRig(const host::Module& module, const ScratchDir& dir, const std::string& base, const host::Frame& input);
    void save_next();
    std::string last_file() const;
    void drop_last_file() const;

private:
    host::ImageFilter filter_;
    host::Frame input_;
    host::Frame output_;
    std::string base_;
};

// The saver's limit: one memcpy of each colour plane and a plain fwrite of
// the depth rows into a new file.
class SaverLimit {
public:
    SaverLimit(const ScratchDir& dir, const host::Frame& input);
    void save_next();
    void drop_last_file() const;

private:
    const host::Frame& input_;
    host::Frame output_;
    std::string base_;
    int32_t number_ = 0;
};

// Reads `rows` rows of `width` floats after `skip` bytes into `pixels`;
// throws when the file is short.
void read_rows(const std::string& path, long skip, int32_t width, int32_t height, float* pixels);

// OpenImageIO reading a one-channel float EXR into a new buffer.
void oiio_read_depth(const std::string& path, int32_t width, int32_t height);
// Writes a one-channel float EXR without compression.
void oiio_write_depth(const std::string& path, const host::Frame& frame);

// The compositor through the host: a render pass over a working copy of
// the frame, restored from the original before each run.
class CompositorRig {
public:
    CompositorRig(const host::Module& module, host::ImageList& images, host::SceneInfo& scene,
                  const host::Frame& frame, ImageId depth, ImageId comp);
    ~CompositorRig();
    void restore() { restore_frame(original_, work_); }
    void evaluate(int threads) { filter_.evaluate(work_, threads); }
    const host::Frame& result() const { return work_; }

private:
    host::PixelFilter filter_;
    std::unique_ptr<host::RenderPass> pass_;
    const host::Frame& original_;
    host::Frame work_;
};

// The same rule on plain arrays.
class FusedRig {
public:
    FusedRig(const host::Frame& frame, const host::Image& depth, const host::Image& comp);
    void restore() { restore_frame(original_, work_); }
    void evaluate(int threads);
    const host::Frame& result() const { return work_; }

private:
    const host::Frame& original_;
    host::Frame work_;
    const host::Image& depth_;
    const host::Image& comp_;
};

// OpenImageIO's zover on RGBA+Z buffers holding the same pixels.
class ZoverRig {
public:
    ZoverRig(const host::Frame& frame, const host::Image& depth, const host::Image& comp);
    void evaluate(int threads);

private:
    OIIO::ImageBuf front_;
    OIIO::ImageBuf back_;
    OIIO::ImageBuf result_;
};

// Frames bit for bit equal in every buffer.
bool same_frames(const host::Frame& a, const host::Frame& b);

}  // namespace bench
