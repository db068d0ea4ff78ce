// The reader: the depth file reader judges the header, the depth loader
// delivers the rows, both as the module runs them in the host.
#include <cerrno>
#include <cstring>
#include <new>

#include "oiio/zbuf_imageio.h"
#include "zhost/files/zbuf_refusal.h"
#include "zload/zload.h"

namespace obk_oiio {
namespace {

// The host's side of one load, as the loader sees it: rows are kept in
// order; a row out of order, or one that cannot be stored, is refused.
struct RowCollector {
    std::vector<float>& rows;
    int32_t width;
    int32_t next_row = 0;
    bool began = false;
    bool out_of_memory = false;
    ImageProtocol protocol{};
};

int32_t collect_row(void* data, int32_t y, const float* pixels) {
    auto& collector = *static_cast<RowCollector*>(data);
    if (y != collector.next_row || pixels == nullptr) return 1;
    try {
        collector.rows.insert(collector.rows.end(), pixels, pixels + collector.width);
    } catch (const std::bad_alloc&) {
        collector.out_of_memory = true;
        return 1;
    }
    ++collector.next_row;
    return 0;
}

ImageProtocol* begin_image(void* data, int32_t image_type) {
    auto& collector = *static_cast<RowCollector*>(data);
    collector.began = true;
    return image_type == IMAGE_GREY_FLOAT ? &collector.protocol : nullptr;
}

int32_t finish(void*, int32_t error_code) { return error_code; }
int32_t end_image(void*, ImageProtocol*) { return 0; }
void set_size(void*, int32_t, int32_t) {}
void set_param(void*, int32_t, int32_t, float) {}

uint64_t file_size(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return 0;
    const long size = std::ftell(file);
    std::rewind(file);
    return size < 0 ? 0 : uint64_t(size);
}

OIIO::ImageSpec spec_of(const ZBufHeader& h) {
    OIIO::ImageSpec spec(int(h.width), int(h.height), 1, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"Z"};
    spec.z_channel = 0;
    spec.attribute("zbuf:value_type", int(h.value_type));
    spec.attribute("zbuf:compression", int(h.compression));
    spec.attribute("zbuf:ordering", int(h.ordering));
    spec.attribute("zbuf:units", int(h.units));
    spec.attribute("zbuf:min_depth", h.min_depth);
    spec.attribute("zbuf:max_depth", h.max_depth);
    spec.attribute("zbuf:background_depth", h.background_depth);
    spec.attribute("zbuf:scale", h.scale);
    spec.attribute("zbuf:offset", h.offset);
    return spec;
}

}  // namespace

ZbufInput::~ZbufInput() { close(); }

bool ZbufInput::valid_file(const std::string& filename) const {
    const File file(std::fopen(filename.c_str(), "rb"));
    ZBufHeader header{};
    return file && read_zbuf_headers(file.get(), &header);
}

bool ZbufInput::open(const std::string& name, OIIO::ImageSpec& newspec) {
    close();
    try {
        if (!open_file(name)) {
            close();
            return false;
        }
        m_spec = spec_of(header_);
        newspec = m_spec;
        return true;
    } catch (const std::exception& error) {
        errorf("%s: %s", name, error.what());
        close();
        return false;
    }
}

bool ZbufInput::open_file(const std::string& name) {
    name_ = name;
    file_.reset(std::fopen(name.c_str(), "rb"));
    if (!file_) {
        errorf("%s: cannot open: %s", name, std::strerror(errno));
        return false;
    }
    file_size_ = file_size(file_.get());
    const ZbufReading reading = read_zbuf_reading(file_.get(), &header_);
    if (!reading.accepted()) {
        errorf("%s: not a depth file that can be read: %s", name,
               zhost::zbuf_refusal(reading, header_, file_size_));
        return false;
    }
    return true;
}

bool ZbufInput::close() {
    file_.reset();
    rows_ = {};
    body_loaded_ = false;
    out_of_memory_ = false;
    rows_loaded_ = 0;
    header_ = {};
    return true;
}

// Runs the depth loader over the body, from where the reader left the
// stream. The whole image is reserved at once only when the file holds it.
void ZbufInput::load_body() {
    body_loaded_ = true;
    const auto width = int32_t(header_.width);
    const auto height = int32_t(header_.height);
    const uint64_t row_bytes = uint64_t{header_.width} * zbuf_sample_size(header_.value_type);
    const long body_start = std::ftell(file_.get());
    if (body_start >= 0 && file_size_ >= uint64_t(body_start) + row_bytes * header_.height) {
        rows_.reserve(std::size_t{header_.width} * header_.height);
    }
    RowCollector collector{rows_, width};
    collector.protocol = {nullptr, &collector, finish, set_size, set_param, collect_row};
    LoaderLocal local{&collector, STATUS_FAILED, name_.c_str(), nullptr, begin_image, end_image};
    zload_send_image(&local, file_.get(), width, height, header_.value_type);
    rows_loaded_ = collector.next_row;
    // The loader calls no host operation only when it cannot get its row buffer.
    out_of_memory_ = collector.out_of_memory || (local.result == STATUS_FAILED && !collector.began);
    file_.reset();
}

bool ZbufInput::row_error(int y) {
    if (y < 0 || y >= int(header_.height)) {
        errorf("%s: row %d is outside the image's %u rows", name_, y, header_.height);
    } else if (out_of_memory_) {
        errorf("%s: out of memory reading row %d", name_, rows_loaded_);
    } else {
        errorf("%s: the body ends inside row %d of %u; only the rows before it can be read", name_, rows_loaded_,
               header_.height);
    }
    return false;
}

bool ZbufInput::read_native_scanline(int subimage, int miplevel, int y, int, void* data) {
    lock_guard lock(*this);
    if (subimage != 0 || miplevel != 0) {
        errorf("%s: a depth file holds one image", name_);
        return false;
    }
    if (!body_loaded_ && file_) {
        try {
            load_body();
        } catch (const std::bad_alloc&) {
            out_of_memory_ = true;
            file_.reset();
        }
    }
    if (y < 0 || y >= rows_loaded_) return row_error(y);
    const std::size_t width = header_.width;
    std::memcpy(data, rows_.data() + std::size_t(y) * width, width * sizeof(float));
    return true;
}

}  // namespace obk_oiio
