// The writer: the saver's statistics, header and row encoding over the
// scanlines an OpenImageIO program writes, staged like every output of the
// project.
#include <cerrno>
#include <cstring>
#include <new>

#include "oiio/zbuf_imageio.h"
#include "zhost/files/staging.h"
#include "zhost/text/error.h"

namespace obk_oiio {
namespace {

// The channel that holds the depth: the only one, or the one named "Z"
// (the spec's z_channel first). -1 when there is none.
int depth_channel(const OIIO::ImageSpec& spec) {
    if (spec.nchannels == 1) return 0;
    if (spec.z_channel >= 0 && spec.z_channel < spec.nchannels) return spec.z_channel;
    return spec.channelindex("Z");
}

std::string channel_list(const OIIO::ImageSpec& spec) {
    std::string list;
    for (const std::string& name : spec.channelnames) list += (list.empty() ? "" : ", ") + name;
    return list;
}

}  // namespace

ZbufOutput::ZbufOutput() = default;

ZbufOutput::~ZbufOutput() { close(); }

int ZbufOutput::supports(OIIO::string_view feature) const {
    // Any set of channels is taken, alpha included: the depth is picked out
    // of them (programs would otherwise drop channels before it).
    return feature == "nchannels" || feature == "alpha";
}

// Why `spec` cannot become a depth file, as an error; false when it can.
bool ZbufOutput::refusal(const OIIO::ImageSpec& spec, OpenMode mode, int& channel) {
    channel = depth_channel(spec);
    if (mode != Create) {
        errorf("%s: a depth file holds one image: no subimages or MIP levels", name_);
    } else if (spec.deep) {
        errorf("%s: deep data cannot be written to a depth file", name_);
    } else if (spec.tile_width > 0 || spec.depth > 1) {
        errorf("%s: a depth file is written in scanlines; tiles and volumes cannot be", name_);
    } else if (spec.nchannels < 1 || channel < 0) {
        errorf("%s: %d channels (%s) and none named Z: a depth file holds one depth channel", name_,
               spec.nchannels, channel_list(spec));
    } else if (!zsave_frame_storable(spec.width, spec.height, ZBUF_FLOAT32)) {
        errorf("%s: an image of %d x %d does not fit a depth file", name_, spec.width, spec.height);
    } else {
        return false;
    }
    return true;
}

bool ZbufOutput::open(const std::string& name, const OIIO::ImageSpec& spec, OpenMode mode) {
    close();
    name_ = name;
    if (refusal(spec, mode, channel_)) return false;
    m_spec = spec;
    m_spec.set_format(OIIO::TypeDesc::FLOAT);
    try {
        return start_file(name);
    } catch (const std::exception& error) {  // zhost::Error naming the file, or no memory
        errorf("%s", error.what());
        discard();
        return false;
    }
}

// Opens the hidden file and writes provisional headers; close() rewrites
// them with the statistics once every row is in.
bool ZbufOutput::start_file(const std::string& name) {
    pending_ = std::make_unique<zhost::PendingFile>(name);
    file_.reset(std::fopen(pending_->temporary().c_str(), "wb"));
    ZBufHeader header = zsave_default_header();
    header.width = uint32_t(m_spec.width);
    header.height = uint32_t(m_spec.height);
    if (!file_ || !write_zbuf_headers(&header, file_.get())) {
        errorf("%s: cannot write: %s", name, std::strerror(errno));
        discard();
        return false;
    }
    next_row_ = 0;
    failed_ = false;
    range_ = ZSaveDepthRange();
    return true;
}

bool ZbufOutput::write_scanline(int y, int z, OIIO::TypeDesc format, const void* data, OIIO::stride_t xstride) {
    if (!file_ || failed_) {
        errorf("%s: no depth file is open for writing", name_);
        return false;
    }
    if (y - m_spec.y != next_row_) {
        errorf("%s: rows are written in order from the top: row %d came when row %d was due", name_, y,
               next_row_ + m_spec.y);
        failed_ = true;
        return false;
    }
    try {
        if (!write_row(y, z, format, data, xstride)) return false;
    } catch (const std::bad_alloc&) {
        errorf("%s: out of memory for row %d", name_, y);
        failed_ = true;
        return false;
    }
    ++next_row_;
    return true;
}

// Takes the depth channel of one row into the statistics and the file.
bool ZbufOutput::write_row(int y, int z, OIIO::TypeDesc format, const void* data, OIIO::stride_t xstride) {
    depths_.resize(std::size_t(m_spec.width));
    encoded_.resize(std::size_t(m_spec.width) * sizeof(float));
    const auto* pixels = static_cast<const float*>(to_native_scanline(format, data, xstride, scratch_, 0, y, z));
    const auto channels = std::size_t(m_spec.nchannels);
    for (std::size_t x = 0; x < depths_.size(); ++x) depths_[x] = pixels[x * channels + std::size_t(channel_)];
    range_.take_row(depths_.data(), m_spec.width);
    zsave_encode_row(depths_.data(), m_spec.width, sizeof(float), encoded_.data());
    if (std::fwrite(encoded_.data(), 1, encoded_.size(), file_.get()) != encoded_.size()) {
        errorf("%s: cannot write row %d: %s", name_, y, std::strerror(errno));
        failed_ = true;
        return false;
    }
    return true;
}

// The headers with the frame's statistics, as the saver writes them, then
// the file moved into place.
bool ZbufOutput::finish_file() {
    ZBufHeader header = zsave_default_header();
    header.width = uint32_t(m_spec.width);
    header.height = uint32_t(m_spec.height);
    range_.store(header);
    const ZBufHeader file_header = zsave_file_header(header);
    std::FILE* file = file_.release();
    const bool written = std::fseek(file, 0, SEEK_SET) == 0 && write_zbuf_headers(&file_header, file) &&
                         std::fflush(file) == 0;
    const int saved_errno = errno;
    if (std::fclose(file) != 0 || !written) {
        errorf("%s: cannot write: %s", name_, std::strerror(written ? errno : saved_errno));
        return false;
    }
    pending_->commit();
    return true;
}

bool ZbufOutput::close() {
    if (!file_) {
        discard();
        return true;
    }
    bool ok = false;
    if (failed_) {
        // The error was reported when the write failed.
    } else if (next_row_ < m_spec.height) {
        errorf("%s: only %d of %d rows were written; the file is not written", name_, next_row_, m_spec.height);
    } else {
        try {
            ok = finish_file();
        } catch (const zhost::Error& error) {
            errorf("%s", error.what());
        }
    }
    discard();
    return ok;
}

// Drops the file in the making: the hidden file goes with its owner.
void ZbufOutput::discard() {
    file_.reset();
    pending_.reset();
}

}  // namespace obk_oiio
