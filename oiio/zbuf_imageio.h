// Depth files as an OpenImageIO format ("zbuf", extension "zb"): a reader
// that hands every OpenImageIO program what OBK_ZLoad hands the host, and a
// writer that makes the file OBK_ZSave makes with its default settings.
#pragma once

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module/file.h"
#include "zbuf/zbuf.h"
#include "zsave/zsave.h"

namespace zhost {
class PendingFile;
}

namespace obk_oiio {

constexpr const char* FORMAT_NAME = "zbuf";

// One float channel "Z", width x height as the header says, the header's
// fields as "zbuf:..." attributes. The header is read and judged by the
// project's depth file reader when the file is opened; the body is read by
// the depth loader itself on the first scanline asked for, and rows stay
// as it delivered them. A body cut short gives its whole rows and then an
// error naming the first row that is missing.
class ZbufInput final : public OIIO::ImageInput {
public:
    ZbufInput() = default;
    ~ZbufInput() override;

    const char* format_name() const override { return FORMAT_NAME; }
    bool valid_file(const std::string& filename) const override;
    bool open(const std::string& name, OIIO::ImageSpec& newspec) override;
    bool close() override;
    bool read_native_scanline(int subimage, int miplevel, int y, int z, void* data) override;

    // Bytes of row storage held (for the limits the fuzz target checks).
    std::size_t reserved_bytes() const { return rows_.capacity() * sizeof(float); }

private:
    bool open_file(const std::string& name);
    void load_body();
    bool row_error(int y);

    File file_;
    std::string name_;
    uint64_t file_size_ = 0;
    ZBufHeader header_{};
    bool body_loaded_ = false;
    bool out_of_memory_ = false;
    int32_t rows_loaded_ = 0;
    std::vector<float> rows_;
};

// Scanlines of the Z channel (or of the only channel) of any image, in
// order from the top, converted to float. The file is written under a
// hidden name beside the destination and moved into place by close() once
// every row is in; an image left incomplete leaves nothing behind.
class ZbufOutput final : public OIIO::ImageOutput {
public:
    ZbufOutput();
    ~ZbufOutput() override;

    const char* format_name() const override { return FORMAT_NAME; }
    int supports(OIIO::string_view feature) const override;
    bool open(const std::string& name, const OIIO::ImageSpec& spec, OpenMode mode = Create) override;
    bool close() override;
    bool write_scanline(int y, int z, OIIO::TypeDesc format, const void* data,
                        OIIO::stride_t xstride = OIIO::AutoStride) override;

private:
    bool refusal(const OIIO::ImageSpec& spec, OpenMode mode, int& channel);
    bool start_file(const std::string& name);
    bool write_row(int y, int z, OIIO::TypeDesc format, const void* data, OIIO::stride_t xstride);
    bool finish_file();
    void discard();

    std::string name_;
    std::unique_ptr<zhost::PendingFile> pending_;
    File file_;
    int channel_ = 0;
    int next_row_ = 0;
    bool failed_ = false;
    ZSaveDepthRange range_;
    std::vector<unsigned char> scratch_;
    std::vector<float> depths_;
    std::vector<unsigned char> encoded_;
};

}  // namespace obk_oiio
