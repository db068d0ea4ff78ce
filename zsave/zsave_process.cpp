// The saver's per-frame operation: pass the colour through, measure the
// frame's depth range and write its depth buffer to the frame's depth file.
#include <cstdio>
#include <memory>

#include "module/file.h"
#include "module/memory.h"
#include "zsave/zsave.h"

namespace {

// The message service looked up at the start of a frame; without one the
// same paths are taken silently.
class Messages {
public:
    explicit Messages(HostGlobal global)
        : service_(global ? static_cast<const MessageService*>(global(SERVICE_MESSAGES, 0)) : nullptr) {}

    void show(const char* text, const char* second_text = nullptr) const {
        if (service_ != nullptr && service_->show_error != nullptr) service_->show_error(text, second_text);
    }

private:
    const MessageService* service_;
};

using RowBuffer = std::unique_ptr<void, ModuleFree>;

// The depth file's stream buffer: rows are passed to the system 1 MB at a time.
constexpr std::size_t STREAM_BUFFER_BYTES = std::size_t{1} << 20;

// Hands the rendered colour and alpha to the output unchanged. A row whose
// red, green or blue line is missing has nothing to pass and is skipped; a
// missing alpha line only suppresses the alpha of its row.
void pass_through(const FilterAccess& access) {
    for (int32_t y = 0; y < access.height; ++y) {
        const float* red = access.get_line(BUF_RED, y);
        const float* green = access.get_line(BUF_GREEN, y);
        const float* blue = access.get_line(BUF_BLUE, y);
        const float* alpha = access.get_line(BUF_ALPHA, y);
        if (red == nullptr || green == nullptr || blue == nullptr) continue;
        for (int32_t x = 0; x < access.width; ++x) {
            const float colour[3] = {red[x], green[x], blue[x]};
            access.set_rgb(x, y, colour);
            if (alpha != nullptr) access.set_alpha(x, y, alpha[x]);
        }
    }
}

// Measures the depth range into the header, row by row in scan order. False
// when a depth line is missing; the header then holds the values reached.
bool measure_depths(ZBufHeader& header, const FilterAccess& access) {
    ZSaveDepthRange range;
    range.store(header);
    for (int32_t y = 0; y < access.height; ++y) {
        const float* depths = access.get_line(BUF_DEPTH, y);
        if (depths == nullptr) return false;
        range.take_row(depths, access.width);
        range.store(header);
    }
    return true;
}

enum class BodyOutcome { WRITTEN, LINE_MISSING, WRITE_FAILED };

// Writes the rows one by one, each as one block. A failing disk shows at the
// row whose block the stream could not pass on, or when the file is closed.
BodyOutcome write_body(const FilterAccess& access, uint32_t sample_size, void* row, std::FILE* file) {
    const std::size_t row_bytes = static_cast<std::size_t>(access.width) * sample_size;
    for (int32_t y = 0; y < access.height; ++y) {
        const float* depths = access.get_line(BUF_DEPTH, y);
        if (depths == nullptr) return BodyOutcome::LINE_MISSING;
        zsave_encode_row(depths, access.width, sample_size, row);
        if (std::fwrite(row, 1, row_bytes, file) != row_bytes) return BodyOutcome::WRITE_FAILED;
    }
    return BodyOutcome::WRITTEN;
}

void write_depth_file(ZSaveInstance& self, const FilterAccess& access, const Messages& messages) {
    if (!zsave_frame_storable(access.width, access.height, self.header.value_type)) {
        messages.show(zsave_text::FRAME_SIZE);
        return;
    }
    const uint32_t sample_size = zbuf_sample_size(self.header.value_type);
    RowBuffer row(obk_alloc(static_cast<std::size_t>(access.width) * sample_size));
    if (row == nullptr) {
        messages.show(zsave_text::NO_SCANLINE);
        return;
    }
    char file_name[ZBUF_NAME_CAPACITY];
    if (!format_zbuf_file_name(file_name, self.full_name, access.frame)) {
        // No file can bear a name too long for the buffer; name its base instead.
        messages.show(zsave_text::OPEN_FAILED, self.full_name);
        return;
    }
    // Declared before the file, so that it outlives the file's closing.
    RowBuffer stream_buffer(obk_alloc(STREAM_BUFFER_BYTES));
    File file(std::fopen(file_name, "wb"));
    if (file == nullptr) {
        messages.show(zsave_text::OPEN_FAILED, file_name);
        return;
    }
    // Rows reach the system in blocks of the stream's buffer: the system
    // stores large writes in large pages of its file cache, at well under
    // half the cost of one write per row. Without the buffer's memory the
    // stream keeps its own.
    if (stream_buffer != nullptr) {
        std::setvbuf(file.get(), static_cast<char*>(stream_buffer.get()), _IOFBF, STREAM_BUFFER_BYTES);
    }
    self.header.width = static_cast<uint32_t>(access.width);
    self.header.height = static_cast<uint32_t>(access.height);
    const ZBufHeader file_header = zsave_file_header(self.header);
    if (!write_zbuf_headers(&file_header, file.get()) || std::fflush(file.get()) != 0) {
        messages.show(zsave_text::HEADERS_FAILED, file_name);
        return;
    }
    switch (write_body(access, sample_size, row.get(), file.get())) {
    case BodyOutcome::LINE_MISSING:
        messages.show(zsave_text::NO_DEPTH_LINE);
        return;
    case BodyOutcome::WRITE_FAILED:
        messages.show(zsave_text::WRITE_FAILED, file_name);
        return;
    case BodyOutcome::WRITTEN:
        break;
    }
    if (std::fclose(file.release()) != 0) messages.show(zsave_text::WRITE_FAILED, file_name);
}

}  // namespace

bool zsave_frame_storable(int32_t width, int32_t height, uint16_t value_type) {
    if (width < 1 || height < 0) return false;
    const auto w = static_cast<uint32_t>(width);
    const auto h = static_cast<uint32_t>(height);
    const uint64_t form_size = uint64_t{w} * h * zbuf_sample_size(value_type) + (ZBUF_HEADERS_SIZE - 8);
    return zbuf_sizes_valid(w, h, value_type) && form_size <= INT32_MAX;
}

ZBufHeader zsave_file_header(const ZBufHeader& settings) {
    ZBufHeader header = settings;
    if (header.value_type != ZBUF_FLOAT64) header.value_type = ZBUF_FLOAT32;
    header.compression = 0;
    header.ordering = 0;
    return header;
}

extern "C" void zsave_process(void* instance, const FilterAccess* access) {
    if (instance == nullptr || access == nullptr) return;
    ZSaveInstance& self = *static_cast<ZSaveInstance*>(instance);
    const Messages messages(self.host_global);
    if (self.full_name[0] == '\0') {
        messages.show(zsave_text::NO_FILENAME);
        return;
    }
    pass_through(*access);
    if (!measure_depths(self.header, *access)) {
        messages.show(zsave_text::NO_DEPTH_LINE);
        return;
    }
    write_depth_file(self, *access, messages);
}
