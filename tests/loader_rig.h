// A recording stand-in between the depth loader and the host's image
// loader, and the depth files it is tried on; shared by the loader's and the
// host loader's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/image_loader.h"
#include "host/module_host.h"
#include "host/services.h"
#include "test_support.h"
#include "zbuf/zbuf.h"
#include "zload/zload.h"

namespace test {

using Calls = std::vector<std::string>;

inline uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

inline ZBufHeader header_of(uint32_t width, uint32_t height, uint16_t value_type = ZBUF_FLOAT32) {
    ZBufHeader h{};
    h.width = width;
    h.height = height;
    h.value_type = value_type;
    h.units = 2;
    h.scale = 1.0f;
    return h;
}

// The module's header writer followed by `body`.
inline Bytes depth_bytes(const ZBufHeader& header, const Bytes& body) {
    std::FILE* stream = std::tmpfile();
    EXPECT_TRUE(write_zbuf_headers(&header, stream));
    if (!body.empty()) std::fwrite(body.data(), 1, body.size(), stream);
    Bytes bytes(static_cast<std::size_t>(std::ftell(stream)));
    std::rewind(stream);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), stream), bytes.size());
    std::fclose(stream);
    return bytes;
}

// W x H samples of value x + 10 y, big-endian.
inline Bytes counting_body(uint32_t width, uint32_t height) {
    ByteBuilder b;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) b.f32(float(x + 10 * y));
    return b.bytes();
}

// The calls of a load that announces W x H, sends `rows` rows and finishes
// with `error_code`.
inline Calls load_calls(int32_t width, int32_t height, int32_t rows, int32_t error_code) {
    Calls calls = {"begin_image 3", "set_size " + std::to_string(width) + " " + std::to_string(height),
                   "set_param 1 0 " + hex(bits_of(1.0f))};
    for (int32_t y = 0; y < rows; ++y) calls.push_back("send_line " + std::to_string(y));
    calls.push_back("finish " + std::to_string(error_code));
    calls.push_back("end_image");
    return calls;
}

// Stands between the loader and the host's ImageLoader: records every call
// as text and forwards it, except a begin_image or a row it is told to refuse.
class RecordingHost {
public:
    explicit RecordingHost(const std::string& path) : loader(path), inner_(*loader.local()) {
        outer_ = inner_;
        outer_.host_data = this;
        outer_.result = -12345;
        outer_.begin_image = begin;
        outer_.end_image = end;
    }

    int32_t load(const host::Module& module, int32_t version = SERVER_CLASS_VERSION) {
        EXPECT_EQ(module.activate("ImageLoader", "OBK_ZLoad", &outer_, version), ACTIVATE_OK);
        return outer_.result;
    }
    // Through the loader linked into the tests, where allocations can fail.
    int32_t load_linked() {
        EXPECT_EQ(zload_activate(SERVER_CLASS_VERSION, host::host_global, &outer_, nullptr), ACTIVATE_OK);
        return outer_.result;
    }
    // The body alone from `stream` through the linked loader.
    int32_t send_linked(std::FILE* stream, const ZBufHeader& header) {
        zload_send_image(&outer_, stream, int32_t(header.width), int32_t(header.height), header.value_type);
        return outer_.result;
    }
    host::ImageLoad outcome() {
        loader.local()->result = outer_.result;
        return loader.result();
    }

    host::ImageLoader loader;
    bool refuse_begin = false;
    int32_t refused_row = -1;
    std::optional<int32_t> finish_answer;  // what finish returns instead of the host's answer
    std::function<void()> at_end;        // runs inside end_image
    std::size_t reserved_after_size = 0;
    Calls calls;

private:
    static RecordingHost& self(void* data) { return *static_cast<RecordingHost*>(data); }

    static ImageProtocol* begin(void* data, int32_t type) {
        RecordingHost& r = self(data);
        r.calls.push_back("begin_image " + std::to_string(type));
        if (r.refuse_begin) return nullptr;
        r.inner_protocol_ = r.inner_.begin_image(r.inner_.host_data, type);
        if (r.inner_protocol_ == nullptr) return nullptr;
        r.protocol_ = {nullptr, &r, finish, set_size, set_param, send_line};
        return &r.protocol_;
    }
    static void set_size(void* data, int32_t width, int32_t height) {
        RecordingHost& r = self(data);
        r.calls.push_back("set_size " + std::to_string(width) + " " + std::to_string(height));
        r.inner_protocol_->set_size(r.inner_protocol_->protocol_data, width, height);
        r.reserved_after_size = r.loader.reserved_bytes();
    }
    static void set_param(void* data, int32_t param, int32_t int_value, float float_value) {
        RecordingHost& r = self(data);
        r.calls.push_back("set_param " + std::to_string(param) + " " + std::to_string(int_value) + " " +
                          hex(bits_of(float_value)));
        r.inner_protocol_->set_param(r.inner_protocol_->protocol_data, param, int_value, float_value);
    }
    static int32_t send_line(void* data, int32_t row, const float* pixels) {
        RecordingHost& r = self(data);
        r.calls.push_back("send_line " + std::to_string(row));
        if (row == r.refused_row) return 1;
        return r.inner_protocol_->send_line(r.inner_protocol_->protocol_data, row, pixels);
    }
    static int32_t finish(void* data, int32_t error_code) {
        RecordingHost& r = self(data);
        r.calls.push_back("finish " + std::to_string(error_code));
        const int32_t answer = r.inner_protocol_->finish(r.inner_protocol_->protocol_data, error_code);
        return r.finish_answer.value_or(answer);
    }
    static int32_t end(void* data, ImageProtocol* protocol) {
        RecordingHost& r = self(data);
        r.calls.push_back(protocol == &r.protocol_ ? "end_image" : "end_image with another protocol");
        if (r.at_end) r.at_end();
        return r.inner_.end_image(r.inner_.host_data, r.inner_protocol_);
    }

    LoaderLocal inner_;
    LoaderLocal outer_{};
    ImageProtocol* inner_protocol_ = nullptr;
    ImageProtocol protocol_{};
};

inline std::unique_ptr<host::Module> load_module() { return host::Module::open(test::module_path()); }

}  // namespace test
