// Hostile depth files through the real loader and the host's image loader:
// truncated, oversized, NaN-filled and gigantic files each end with a clear
// status, the host never holds much more than the file, and a file cut or
// removed while it is read ends the load cleanly.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "host/image_loader.h"
#include "host/module_host.h"
#include "module/host_interface.h"
#include "test_support.h"

namespace fs = std::filesystem;
using test::ByteBuilder;
using test::Bytes;
using test::HeaderFields;
using test::header_fields;

namespace {

constexpr uint32_t HEADERS = 64;

constexpr uint32_t fourcc(const char (&id)[5]) {
    return uint32_t(uint8_t(id[0])) << 24 | uint32_t(uint8_t(id[1])) << 16 | uint32_t(uint8_t(id[2])) << 8 |
           uint8_t(id[3]);
}
constexpr uint32_t FORM = fourcc("FORM"), ILBM = fourcc("ILBM"), ZBUF = fourcc("ZBUF"), JUNK = fourcc("JUNK");

// Headers for `h` whose FORM and ZBOD sizes claim the body that `h`
// announces (modulo 2^32, as a careless writer would store them), followed
// by `body`.
Bytes file_of(const HeaderFields& h, const Bytes& body = {}) {
    const uint64_t claimed = uint64_t(h.width) * h.height * (h.value_type == 7 ? 8 : 4);
    ByteBuilder b;
    b.u32(FORM).u32(uint32_t(std::min<uint64_t>(claimed + 56, 0x7FFFFFFF))).u32(ILBM);
    test::add_zbuf_chunk(b, h).u32(fourcc("ZBOD")).u32(uint32_t(claimed));
    Bytes bytes = b.bytes();
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

// `count` big-endian samples, each the 32- or 64-bit pattern `pattern(i)`.
Bytes samples(std::size_t count, uint16_t value_type, const std::function<uint64_t(std::size_t)>& pattern) {
    ByteBuilder b;
    for (std::size_t i = 0; i < count; ++i) {
        const uint64_t bits = pattern(i);
        if (value_type == 7) b.u32(uint32_t(bits >> 32));
        b.u32(uint32_t(bits));
    }
    return b.bytes();
}

Bytes counting(std::size_t count, uint16_t value_type = 6) {
    return samples(count, value_type, [value_type](std::size_t i) -> uint64_t {
        if (value_type == 7) {
            const double value = double(i);
            uint64_t bits;
            std::memcpy(&bits, &value, 8);
            return bits;
        }
        const float value = float(i);
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return bits;
    });
}

struct Outcome {
    int32_t status;
    int32_t rows_received;
    std::size_t reserved_bytes;
    std::optional<host::Image> image;
};

Outcome load(const host::Module& module, const fs::path& path) {
    host::ImageLoader loader(path.string());
    module.activate("ImageLoader", "OBK_ZLoad", loader.local());
    const std::size_t reserved = loader.reserved_bytes();
    host::ImageLoad result = loader.result();
    return {result.status, result.rows_received, reserved, std::move(result.image)};
}

class HostileFiles : public ::testing::Test {
protected:
    // Writes `bytes`, loads them and checks what every load must keep: the
    // file closed again and pixel storage bounded by what the file held.
    Outcome load_bytes(const Bytes& bytes, const std::string& what) {
        const fs::path path = dir / "hostile.zb";
        test::write_file(path, bytes);
        const std::size_t descriptors = test::open_descriptors();
        Outcome outcome = load(*module, path);
        EXPECT_EQ(test::open_descriptors(), descriptors) << what << ": file left open";
        EXPECT_LE(outcome.reserved_bytes, 2 * bytes.size()) << what;
        return outcome;
    }

    std::unique_ptr<host::Module> module = host::Module::open(test::module_path());
    test::TempDir dir;
};

}  // namespace

TEST_F(HostileFiles, EveryTruncationIsRefusedOrEndsAfterTheLastWholeRow) {
    for (uint16_t type : {uint16_t{6}, uint16_t{7}}) {
        const uint32_t width = 3, height = 4, row_bytes = width * (type == 7 ? 8 : 4);
        const Bytes whole = file_of(header_fields(width, height, type), counting(width * height, type));
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const std::string what = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
            const Outcome outcome = load_bytes(Bytes(whole.begin(), whole.begin() + long(size)), what);
            if (size < HEADERS) {
                EXPECT_EQ(outcome.status, STATUS_NOT_RECOGNISED) << what;
                EXPECT_EQ(outcome.rows_received, 0) << what;
            } else {
                EXPECT_EQ(outcome.status, STATUS_FAILED) << what;
                EXPECT_EQ(outcome.rows_received, int32_t((size - HEADERS) / row_bytes)) << what;
            }
            EXPECT_FALSE(outcome.image.has_value()) << what;
        }
        EXPECT_EQ(load_bytes(whole, "whole").status, STATUS_OK);
    }
}

TEST_F(HostileFiles, OversizedAndMisshapenFilesGiveTheirStatus) {
    const Bytes body = counting(6);
    auto with = [](Bytes bytes, std::size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (24 - 8 * i));
        return bytes;
    };
    const Bytes valid = file_of(header_fields(2, 3), body);
    Bytes trailing = valid;
    trailing.insert(trailing.end(), 1 << 16, 0xAB);
    ByteBuilder huge_chunk;
    huge_chunk.u32(FORM).u32(0x7FFFFFFF).u32(ILBM).u32(JUNK).u32(0xFFFFFFFF).zeros(64);
    ByteBuilder huge_zbuf;
    huge_zbuf.u32(FORM).u32(0x7FFFFFFF).u32(ILBM).u32(ZBUF).u32(0xFFFFFFF0).zeros(64);
    ByteBuilder only_junk;
    only_junk.u32(FORM).u32(24).u32(ILBM).u32(JUNK).u32(4).zeros(4).u32(JUNK).u32(0).zeros(4);
    const struct { const char* name; Bytes file; int32_t status, rows; } cases[] = {
        {"valid", valid, STATUS_OK, 3},
        {"64 KiB after the body", trailing, STATUS_OK, 3},
        {"FORM smaller than its chunks", with(valid, 4, 16), STATUS_NOT_RECOGNISED, 0},
        {"body chunk claims one row more", with(valid, 60, 32), STATUS_NOT_RECOGNISED, 0},
        {"body chunk claims 4 GiB", with(valid, 60, 0xFFFFFFFF), STATUS_NOT_RECOGNISED, 0},
        {"FORM of 2^31 bytes and more", with(valid, 4, 0x80000000u), STATUS_NOT_RECOGNISED, 0},
        {"chunk of 4 GiB before the header", huge_chunk.bytes(), STATUS_NOT_RECOGNISED, 0},
        {"header chunk of 4 GiB", huge_zbuf.bytes(), STATUS_NOT_RECOGNISED, 0},
        {"no header chunk at all", only_junk.bytes(), STATUS_NOT_RECOGNISED, 0},
        {"empty file", {}, STATUS_NOT_RECOGNISED, 0},
        {"not IFF", Bytes(4096, 'x'), STATUS_NOT_RECOGNISED, 0},
    };
    for (const auto& c : cases) {
        const Outcome outcome = load_bytes(c.file, c.name);
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.rows_received, c.rows) << c.name;
    }
}

TEST_F(HostileFiles, NaNSamplesLoadBitForBitAndNaNHeaderFieldsAreRefusedOnlyInTheScale) {
    const uint32_t nans32[] = {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu, 0x7FBFFFFFu, 0x7FC0BEEFu};
    const Bytes nan_body = samples(6, 6, [&](std::size_t i) { return nans32[i]; });
    const Outcome all_nan = load_bytes(file_of(header_fields(3, 2), nan_body), "NaN samples");
    ASSERT_EQ(all_nan.status, STATUS_OK);
    for (std::size_t i = 0; i < 6; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &all_nan.image->pixels[i], 4);
        EXPECT_EQ(bits, nans32[i]) << "sample " << i;
    }

    const uint64_t nans64[] = {0x7FF0000000000001ull, 0xFFF8000000000000ull, 0x7FFFFFFFFFFFFFFFull,
                               0xFFF0000000000001ull};
    const Bytes nan64_body = samples(4, 7, [&](std::size_t i) { return nans64[i]; });
    const Outcome nan64 = load_bytes(file_of(header_fields(2, 2, 7), nan64_body), "64-bit NaN samples");
    ASSERT_EQ(nan64.status, STATUS_OK);
    for (float value : nan64.image->pixels) EXPECT_TRUE(std::isnan(value));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct { const char* name; float HeaderFields::*field; int32_t status; } header_cases[] = {
        {"NaN minimum", &HeaderFields::min_depth, STATUS_OK},
        {"NaN maximum", &HeaderFields::max_depth, STATUS_OK},
        {"NaN background", &HeaderFields::background_depth, STATUS_OK},
        {"NaN offset", &HeaderFields::offset, STATUS_OK},
        {"NaN scale", &HeaderFields::scale, STATUS_NOT_RECOGNISED},
    };
    for (const auto& c : header_cases) {
        HeaderFields h = header_fields(3, 2);
        h.*c.field = nan;
        EXPECT_EQ(load_bytes(file_of(h, counting(6)), c.name).status, c.status) << c.name;
    }
}

TEST_F(HostileFiles, GiganticDimensionsAreRefusedOrFailWithoutReservingTheImage) {
    const struct { const char* name; HeaderFields h; std::size_t body; int32_t status; } cases[] = {
        {"100000 x 100000 over 100 bytes", header_fields(100000, 100000), 36, STATUS_NOT_RECOGNISED},
        {"65536 x 65536", header_fields(65536, 65536), 0, STATUS_NOT_RECOGNISED},
        {"width 2^31 - 1", header_fields(0x7FFFFFFF, 1), 0, STATUS_NOT_RECOGNISED},
        {"height 2^31 - 1", header_fields(1, 0x7FFFFFFF), 0, STATUS_NOT_RECOGNISED},
        {"width 2^31", header_fields(0x80000000u, 1), 0, STATUS_NOT_RECOGNISED},
        {"height 2^32 - 1", header_fields(1, 0xFFFFFFFFu), 0, STATUS_NOT_RECOGNISED},
        {"64-bit rows of 2^31 bytes", header_fields(0x10000000, 1, 7), 0, STATUS_NOT_RECOGNISED},
        {"32768 x 32767: a body beyond a FORM's 2 GiB", header_fields(32768, 32767), 0, STATUS_NOT_RECOGNISED},
        {"16384 x 32767: a 2 GiB image over 64 bytes", header_fields(16384, 32767), 0, STATUS_FAILED},
        {"16384 x 16384 with one row", header_fields(16384, 16384), 16384 * 4, STATUS_FAILED},
        {"one row of 1 GiB over 100 bytes", header_fields(0x0FFFFFFF, 1), 36, STATUS_FAILED},
        {"1 x (2^29 - 16) rows", header_fields(1, 0x1FFFFFF0), 4000, STATUS_FAILED},
    };
    for (const auto& c : cases) {
        const Outcome outcome = load_bytes(file_of(c.h, Bytes(c.body, 0)), c.name);
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.rows_received, int32_t(c.body / (c.h.width * 4ull))) << c.name;
    }
}

// In a child process whose address space allows only a little more than it
// holds already, loading headers that announce gigabytes still ends with the
// loader's status: neither side tries to hold the announced image.
TEST_F(HostileFiles, GiganticHeadersLoadWithinALimitedAddressSpace) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs fork and RLIMIT_AS to bound a child's address space";
#else
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#endif
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "vgpreload") != nullptr) {
        GTEST_SKIP() << "valgrind manages the address space itself";
    }
    const struct { const char* name; HeaderFields h; std::size_t body; } cases[] = {
        {"16384 x 32767", header_fields(16384, 32767), 0},
        {"16384 x 16384 with two rows", header_fields(16384, 16384), 2 * 16384 * 4},
        {"1 x (2^29 - 16)", header_fields(1, 0x1FFFFFF0), 4096},
    };
    for (const auto& c : cases) {
        const fs::path path = dir / "gigantic.zb";
        test::write_file(path, file_of(c.h, Bytes(c.body, 0)));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (256u << 20);
            const rlimit bounded{limit, limit};
            if (::setrlimit(RLIMIT_AS, &bounded) != 0) ::_exit(120);
            try {
                ::_exit(load(*module, path).status);
            } catch (...) {
                ::_exit(121);  // the host could not hold what it tried to hold
            }
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << c.name << ": killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), STATUS_FAILED) << c.name;
    }
#endif
}

namespace {

// Forwards the loader's calls to the host's image loader and runs `after_row`
// once each row has been accepted, while the loader still holds the file.
class InterruptingHost {
public:
    explicit InterruptingHost(const std::string& path) : loader(path), inner_(*loader.local()) {
        outer_ = inner_;
        outer_.host_data = this;
        outer_.begin_image = begin;
        outer_.end_image = end;
    }
    LoaderLocal* local() { return &outer_; }
    host::ImageLoad outcome() {
        loader.local()->result = outer_.result;
        return loader.result();
    }

    host::ImageLoader loader;
    std::function<void(int32_t row)> after_row;

private:
    static InterruptingHost& self(void* data) { return *static_cast<InterruptingHost*>(data); }
    static ImageProtocol* begin(void* data, int32_t type) {
        InterruptingHost& h = self(data);
        h.inner_protocol_ = h.inner_.begin_image(h.inner_.host_data, type);
        if (h.inner_protocol_ == nullptr) return nullptr;
        h.protocol_ = *h.inner_protocol_;
        h.protocol_.protocol_data = &h;
        h.protocol_.set_size = [](void* d, int32_t w, int32_t ht) {
            self(d).inner_protocol_->set_size(self(d).inner_protocol_->protocol_data, w, ht);
        };
        h.protocol_.set_param = [](void* d, int32_t p, int32_t i, float f) {
            self(d).inner_protocol_->set_param(self(d).inner_protocol_->protocol_data, p, i, f);
        };
        h.protocol_.send_line = [](void* d, int32_t row, const float* pixels) {
            InterruptingHost& s = self(d);
            const int32_t refusal = s.inner_protocol_->send_line(s.inner_protocol_->protocol_data, row, pixels);
            if (refusal == 0 && s.after_row) s.after_row(row);
            return refusal;
        };
        h.protocol_.finish = [](void* d, int32_t error_code) {
            return self(d).inner_protocol_->finish(self(d).inner_protocol_->protocol_data, error_code);
        };
        return &h.protocol_;
    }
    static int32_t end(void* data, ImageProtocol*) {
        InterruptingHost& h = self(data);
        return h.inner_.end_image(h.inner_.host_data, h.inner_protocol_);
    }

    LoaderLocal inner_;
    LoaderLocal outer_{};
    ImageProtocol* inner_protocol_ = nullptr;
    ImageProtocol protocol_{};
};

}  // namespace

TEST_F(HostileFiles, AFileCutOrRemovedWhileItIsReadEndsTheLoadCleanly) {
    const fs::path path = dir / "moving.zb";
    test::write_file(path, {});
    // Rows of at least twice the stream's buffer: what the stream has read
    // ahead never holds the whole of the next row.
    const uint32_t width = std::max<uint32_t>(4096, uint32_t(test::stream_buffer_size(path)) / 2);
    const uint32_t height = 8;
    const int32_t last_row = 2;

    const struct { const char* name; uint16_t type; std::function<void()> act; int32_t status, rows; } cases[] = {
        {"cut after the row, 32-bit samples", 6,
         [&] { fs::resize_file(path, HEADERS + (last_row + 1) * width * 4); }, STATUS_FAILED, last_row + 1},
        {"cut after the row, 64-bit samples", 7,
         [&] { fs::resize_file(path, HEADERS + (last_row + 1) * width * 8); }, STATUS_FAILED, last_row + 1},
        {"cut to nothing", 6, [&] { fs::resize_file(path, 0); }, STATUS_FAILED, last_row + 1},
        // Windows refuses to remove a file that is open; either way the load
        // reads the whole file.
        {"removed: the open file still reads whole", 6, [&] { std::error_code refused; fs::remove(path, refused); },
         STATUS_OK, int32_t(height)},
    };
    for (const auto& c : cases) {
        test::write_file(path, file_of(header_fields(width, height, c.type), counting(width * height, c.type)));
        InterruptingHost host(path.string());
        host.after_row = [&](int32_t row) {
            if (row == last_row) c.act();
        };
        const std::size_t descriptors = test::open_descriptors();
        ASSERT_EQ(module->activate("ImageLoader", "OBK_ZLoad", host.local()), ACTIVATE_OK);
        EXPECT_EQ(test::open_descriptors(), descriptors) << c.name << ": file left open";
        const host::ImageLoad outcome = host.outcome();
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.rows_received, c.rows) << c.name;
        if (c.status == STATUS_OK) {
            ASSERT_TRUE(outcome.image.has_value());
            EXPECT_EQ(outcome.image->at(int32_t(width) - 1, int32_t(height) - 1), float(width * height - 1));
        }
    }
}
