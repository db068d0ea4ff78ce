// The saver's instance operations: create, destroy, copy, load, save,
// describe and flags.
#include <cstdio>
#include <cstring>

#include "module/memory.h"
#include "zsave/zsave.h"

namespace {

constexpr const char* DEFAULT_NAME = "zbuf";
constexpr const char* DESCRIPTION_PREFIX = "OBK_ZSave:  ";
constexpr const char* DESCRIPTION_SUFFIX = "####.zb";
constexpr std::size_t PREFIX_LENGTH = 12;
constexpr std::size_t SUFFIX_LENGTH = 7;
// The longest base name that the description shows whole.
constexpr std::size_t SHOWN_NAME_MAX = ZSAVE_DESCRIPTION_CAPACITY - 1 - PREFIX_LENGTH - SUFFIX_LENGTH;
constexpr const char* ELLIPSIS = "...";
constexpr std::size_t ELLIPSIS_LENGTH = 3;

ZSaveInstance& as_saver(void* instance) { return *static_cast<ZSaveInstance*>(instance); }

void set_defaults(ZSaveInstance& self, HostGlobal host) {
    self.host_global = host;
    std::snprintf(self.base_name, sizeof self.base_name, "%s", DEFAULT_NAME);
    std::snprintf(self.full_name, sizeof self.full_name, "%s", self.base_name);
    self.header = zsave_default_header();
}

// Length of a text that may fill its buffer without a terminator.
std::size_t bounded_length(const char* text, std::size_t capacity) {
    const void* end = std::memchr(text, '\0', capacity);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : capacity;
}

bool continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Writes the description with a base name too long to show whole: its head
// and its tail around "...", cut between characters, not inside a UTF-8
// sequence.
void describe_shortened(ZSaveInstance& self, std::size_t length) {
    const std::size_t kept = SHOWN_NAME_MAX - ELLIPSIS_LENGTH;
    std::size_t head = kept / 2;
    while (head > 0 && continuation_byte(self.base_name[head])) --head;
    std::size_t tail_start = length - (kept - kept / 2);
    while (tail_start < length && continuation_byte(self.base_name[tail_start])) ++tail_start;
    std::snprintf(self.description, sizeof self.description, "%s%.*s%s%.*s%s", DESCRIPTION_PREFIX,
                  static_cast<int>(head), self.base_name, ELLIPSIS,
                  static_cast<int>(length - tail_start), self.base_name + tail_start,
                  DESCRIPTION_SUFFIX);
}

}  // namespace

void zsave_terminate_names(ZSaveInstance& instance) {
    instance.full_name[ZSAVE_NAME_CAPACITY - 1] = '\0';
    instance.directory[ZSAVE_NAME_CAPACITY - 1] = '\0';
    instance.base_name[ZSAVE_NAME_CAPACITY - 1] = '\0';
}

extern "C" {

void* zsave_create(HostGlobal host, void*, const char** error_text) {
    void* block = obk_alloc_zeroed(sizeof(ZSaveInstance));
    if (block == nullptr) {
        if (error_text != nullptr) *error_text = zsave_text::NO_INSTANCE;
        return nullptr;
    }
    set_defaults(as_saver(block), host);
    return block;
}

void zsave_destroy(void* instance) { obk_free(instance); }

const char* zsave_copy(void* destination, void* source) {
    if (destination != nullptr && source != nullptr && destination != source) {
        std::memcpy(destination, source, sizeof(ZSaveInstance));
    }
    return nullptr;
}

const char* zsave_load(void* instance, const LoadState* state) {
    ZSaveInstance& self = as_saver(instance);
    state->read_string(state->host_data, self.full_name, static_cast<int32_t>(sizeof self.full_name));
    state->read_u16(state->host_data, &self.header.value_type, 1);
    state->read_u16(state->host_data, &self.header.compression, 1);
    state->read_u16(state->host_data, &self.header.ordering, 1);
    state->read_u16(state->host_data, &self.header.units, 1);
    zsave_terminate_names(self);
    return nullptr;
}

const char* zsave_save(void* instance, const SaveState* state) {
    ZSaveInstance& self = as_saver(instance);
    state->write_string(state->host_data, self.full_name);
    state->write_u16(state->host_data, &self.header.value_type, 1);
    state->write_u16(state->host_data, &self.header.compression, 1);
    state->write_u16(state->host_data, &self.header.ordering, 1);
    state->write_u16(state->host_data, &self.header.units, 1);
    return nullptr;
}

const char* zsave_describe(void* instance) {
    ZSaveInstance& self = as_saver(instance);
    const std::size_t length = bounded_length(self.base_name, sizeof self.base_name);
    if (length > SHOWN_NAME_MAX) {
        describe_shortened(self, length);
    } else {
        std::snprintf(self.description, sizeof self.description, "%s%.*s%s", DESCRIPTION_PREFIX,
                      static_cast<int>(length), self.base_name, DESCRIPTION_SUFFIX);
    }
    return self.description;
}

uint32_t zsave_flags(void*) { return uint32_t{1} << BUF_DEPTH; }

}  // extern "C"
