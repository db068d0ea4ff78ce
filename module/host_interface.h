// Records and services shared between the host and the OBKzcomp module.
//
// This header is the contract between the two sides. Field order and widths
// are binding: on a 32-bit host every offset equals the one asserted at the
// end of this file; on a 64-bit host the same fields follow in the same order
// with natural alignment. Every range of a record that belongs to the host
// alone is declared as one pointer-sized slot per 4 bytes of the 32-bit
// layout, so both sides agree on every width.
//
// Ownership: every record here is owned by the host. The module fills the
// operation slots of the records handed to an activation and calls the host
// through the operation slots of the others; it never allocates or frees one.
//
// Calling convention: every operation in these records, both ways, uses the
// platform's default C convention: cdecl on 32-bit Windows and 32-bit x86
// (arguments on the stack, removed by the caller), the system's one C
// convention on 64-bit platforms. A host compiled with another default
// (stdcall, fastcall, vectorcall) must declare its operations __cdecl.
// The offsets asserted below hold on 32-bit Windows as on 32-bit Linux; both
// builds check them.
//
// File names (LoaderLocal::filename, the saver's file requester names) reach
// the C library's fopen unchanged: on Windows they must be in the ANSI code
// page of the process, elsewhere bytes as the file system takes them (UTF-8
// on current systems). The module never converts them.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// ---- Results and constants ------------------------------------------------

enum ActivateResult : int32_t {
    ACTIVATE_OK = 0,
    ACTIVATE_BAD_VERSION = 1,
    ACTIVATE_BAD_GLOBALS = 2,
};

// Result codes that the image loader leaves in LoaderLocal::result.
enum LoaderStatus : int32_t {
    STATUS_OK = 0,
    STATUS_NOT_RECOGNISED = 1,
    STATUS_BAD_FILE = 2,
    STATUS_FAILED = 99,
};

// Render buffers: one 32-bit float per pixel each.
enum RenderBuffer : int32_t {
    BUF_DEPTH = 12,
    BUF_RED = 32,
    BUF_GREEN = 33,
    BUF_BLUE = 34,
    BUF_ALPHA = 35,
};

constexpr uint32_t MODULE_SYNC = 0x04121994;
constexpr uint32_t MODULE_VERSION = 3;
constexpr uint32_t MODULE_MACHINE = 0x300;
constexpr int32_t SERVER_CLASS_VERSION = 4;

constexpr int32_t IMAGE_GREY_FLOAT = 3;       // image type of begin_image
constexpr int32_t IMAGE_PARAM_1 = 1;          // parameter number set by the loader

constexpr int32_t ATTR_X = 0;                 // control attribute: x position
constexpr int32_t ATTR_VALUE = 4;             // control attribute: value
constexpr int32_t ATTR_LABEL_WIDTH = 9;       // control attribute: label width
constexpr int32_t DESC_TEXT = 12;             // ControlDesc tag: text lines
constexpr int32_t DESC_ITEM_LIST = 16;        // ControlDesc tag: list of host items
constexpr int32_t ITEM_IMAGE = 4;             // item kind: the host's images
constexpr int32_t VALUE_INT = 2;              // ControlValue tag: integer
constexpr int32_t PANEL_MODAL = 3;            // open_panel mode: modal

constexpr int32_t FILE_REQUEST_VERSION = 3;   // first argument of FileRequestFn
constexpr int32_t FILE_REQUEST_SAVE = 2;      // FileRequest::request_kind

// Server classes, the `class_name` of a ServerEntry.
constexpr const char* CLASS_PIXEL_FILTER_HANDLER = "PixelFilterHandler";      // fills PixelHandlerRecord
constexpr const char* CLASS_PIXEL_FILTER_INTERFACE = "PixelFilterInterface";  // fills InterfaceRecord
constexpr const char* CLASS_IMAGE_FILTER_HANDLER = "ImageFilterHandler";      // fills ImageHandlerRecord
constexpr const char* CLASS_IMAGE_FILTER_INTERFACE = "ImageFilterInterface";  // fills InterfaceRecord
constexpr const char* CLASS_IMAGE_LOADER = "ImageLoader";                     // loads through LoaderLocal

// Global services, looked up by these names through HostGlobal.
constexpr const char* SERVICE_IMAGE_LIST = "LW Image List 3";     // ImageListService
constexpr const char* SERVICE_SCENE_INFO = "LW Scene Info 2";     // SceneInfoService
constexpr const char* SERVICE_PANELS = "LWPanelServices";         // PanelService
constexpr const char* SERVICE_MESSAGES = "Info Messages 2";       // MessageService
constexpr const char* SERVICE_FILE_REQUEST = "File Request 2";    // FileRequestFn

// Host image id: a pointer-sized handle; null means no image.
typedef void* ImageId;

// Service lookup: (service name, flags 0) -> service, or null when the host
// does not offer it.
typedef void* (*HostGlobal)(const char* service_name, int32_t flags);

struct LoadState;
struct SaveState;
struct FilterAccess;
struct PixelAccess;
struct LoaderLocal;
struct ImageProtocol;
struct PanelControl;
struct ControlDesc;
struct ControlValue;

// ---- Module record --------------------------------------------------------

// Activation: (class version, service lookup, host-owned record, server data).
// The server data is passed by some hosts and never read.
typedef int32_t (*ActivateFn)(int32_t version, HostGlobal global, void* local,
                              void* server_data);

// One row of the server table. The table ends with an all-zero row.
struct ServerEntry {
    const char* class_name;   // host plug-in class
    const char* server_name;  // server name
    ActivateFn activate;      // module's activation
    void* tag_info;           // always null
};

// Exported as `_mod_descrip`; static data, never changed at run time.
struct ModuleRecord {
    uint32_t sync;            // MODULE_SYNC
    uint32_t version;         // MODULE_VERSION
    uint32_t machine;         // MODULE_MACHINE
    void* (*startup)(void);   // returns a pointer-sized value (4)
    void (*shutdown)(void);   // does nothing
    const ServerEntry* servers;
};

// ---- Records that handler activations fill ---------------------------------

// Filled by the module. `host` receives the HostGlobal of the activation and
// the host passes it back as the first argument of `create`.
struct InstanceOps {
    HostGlobal host;
    void* (*create)(HostGlobal host, void* context, const char** error_text);
    void (*destroy)(void* instance);
    const char* (*copy)(void* destination, void* source);
    const char* (*load)(void* instance, const LoadState* state);
    const char* (*save)(void* instance, const SaveState* state);
    const char* (*describe)(void* instance);
};

// Item operations: the module supplies neither (the saver sets both to null).
struct ItemOps {
    void (*item_slot_0)(void);
    void (*item_slot_1)(void);
};

// Render operations of a pixel filter; the extra host arguments are not read.
struct RenderOps {
    const char* (*init)(void* instance, int32_t mode);
    void (*cleanup)(void* instance);
    const char* (*new_time)(void* instance, int32_t frame, double time);
};

// Handed to the pixel-filter activation. `instance_ops` is never null;
// `item_ops` and `render_ops` may be.
struct PixelHandlerRecord {
    InstanceOps* instance_ops;
    ItemOps* item_ops;
    RenderOps* render_ops;
    void (*evaluate)(void* instance, const PixelAccess* access);
    uint32_t (*flags)(void* instance);
};

// Handed to the image-filter activation. `instance_ops` is never null;
// `item_ops` may be.
struct ImageHandlerRecord {
    InstanceOps* instance_ops;
    ItemOps* item_ops;
    void (*process)(void* instance, const FilterAccess* access);
    uint32_t (*flags)(void* instance);
};

// Handed to an interface activation. `instance` is the host's and is passed
// to `options`; the activation sets `panel` and `command` to null.
struct InterfaceRecord {
    void* instance;
    void* panel;
    const char* (*options)(void* instance);
    const char* (*command)(void* instance, const char* command);
};

// ---- Scene records (arguments of load and save) ----------------------------

// `host_data` is the first argument of both operations. Results are not read.
struct LoadState {
    void* host_slot_0;
    void* host_data;
    void* host_slots_8_24[5];
    int32_t (*read_u16)(void* host_data, uint16_t* values, int32_t count);
    void* host_slots_32_36[2];
    int32_t (*read_string)(void* host_data, char* buffer, int32_t capacity);
};

struct SaveState {
    void* host_slot_0;
    void* host_data;
    void* host_slots_8_24[5];
    void (*write_u16)(void* host_data, const uint16_t* values, int32_t count);
    void* host_slots_32_36[2];
    void (*write_string)(void* host_data, const char* text);
};

// ---- Global services ------------------------------------------------------

// SERVICE_IMAGE_LIST. Positions may lie outside the image; the host must
// answer them without reading outside the image.
struct ImageListService {
    void* host_slots_0_8[3];
    const char* (*image_name)(ImageId image);
    void* host_slots_16_24[3];
    void (*image_size)(ImageId image, int32_t* width, int32_t* height);
    float (*image_value)(ImageId image, int32_t x, int32_t y);
    void (*image_rgb)(ImageId image, int32_t x, int32_t y, float rgb[3]);
    void* host_slots_40_48[3];
    ImageId (*load_image_ref)(const LoadState* state);
    void (*save_image_ref)(const SaveState* state, ImageId image);
};

// SERVICE_SCENE_INFO: only the rendered frame size is read.
struct SceneInfoService {
    void* host_slots_0_44[12];
    int32_t frame_width;
    int32_t frame_height;
};

// SERVICE_PANELS. `create_panel` returns null on failure; `open_panel`
// returns non-zero when the user confirmed.
struct PanelService {
    void* (*create_panel)(const char* title, void* reserved);
    void (*destroy_panel)(void* panel);
    int32_t (*open_panel)(void* panel, int32_t mode);
    void* host_slots_12_28[5];
    PanelControl* (*add_control)(void* panel, const char* type_name,
                                 ControlDesc* desc, const char* label);
};

// A control of a panel, made by add_control.
struct PanelControl {
    void* host_slot_0;
    void (*control_get)(PanelControl* control, int32_t attribute, ControlValue* value);
    void (*control_set)(PanelControl* control, int32_t attribute, ControlValue* value);
};

// Description given to add_control; `type` selects the member of the union.
struct ControlDesc {
    int32_t type;                 // DESC_ITEM_LIST or DESC_TEXT
    union {
        struct {
            HostGlobal global;    // lookup used by the host to list its items
            int32_t item_kind;    // ITEM_IMAGE
            const char** list;    // null
            int32_t count;        // 0
            int32_t width;        // 0
        } item;
        struct {
            const char* const* lines;  // text lines, ended by a null entry
        } text;
    };
};

// Value of control_get and control_set. The integer word is pointer-sized so
// that it carries a host image id whole; on a 32-bit host the record is ten
// 32-bit words.
struct ControlValue {
    int32_t type;                 // VALUE_INT
    intptr_t int_value;
    int32_t unused[8];            // zero
};

// SERVICE_MESSAGES.
struct MessageService {
    void* host_slot_0;
    void (*show_error)(const char* text, const char* second_text);
};

// Record handed to the SERVICE_FILE_REQUEST service. The three name buffers
// belong to the caller and hold `buffer_length` characters each.
struct FileRequest {
    int32_t request_kind;         // FILE_REQUEST_SAVE
    int32_t result;               // filled by the host, not read
    const char* title;
    const char* file_type;        // null: no file type
    char* directory;
    char* base_name;
    char* full_name;
    int32_t buffer_length;
    int32_t (*pick_callback)(void);  // null
};

// SERVICE_FILE_REQUEST is itself an operation: (FILE_REQUEST_VERSION, request).
typedef int32_t (*FileRequestFn)(int32_t version, FileRequest* request);

// ---- Records handed to single operations -----------------------------------

// Handed to the image loader's activation.
struct LoaderLocal {
    void* host_data;              // first argument of begin_image and end_image
    int32_t result;               // LoaderStatus, written by the loader
    const char* filename;         // file to read
    void* host_slot_12;
    ImageProtocol* (*begin_image)(void* host_data, int32_t image_type);  // null on failure
    int32_t (*end_image)(void* host_data, ImageProtocol* protocol);
};

// Returned by begin_image; `protocol_data` is the first argument of each
// operation. A non-zero send_line result refuses the row.
struct ImageProtocol {
    void* host_slot_0;
    void* protocol_data;
    int32_t (*finish)(void* protocol_data, int32_t error_code);
    void (*set_size)(void* protocol_data, int32_t width, int32_t height);
    void (*set_param)(void* protocol_data, int32_t param, int32_t int_value, float float_value);
    int32_t (*send_line)(void* protocol_data, int32_t row, const float* pixels);
};

// Handed to an image filter's process for one frame. The operations carry no
// context: the host knows which frame is being filtered.
struct FilterAccess {
    int32_t width;
    int32_t height;
    int32_t frame;
    void* host_slots_12_28[5];
    float* (*get_line)(int32_t buffer, int32_t row);  // null when missing
    void (*set_rgb)(int32_t x, int32_t y, const float rgb[3]);
    void (*set_alpha)(int32_t x, int32_t y, float alpha);
};

// Handed to a pixel filter's evaluate for one pixel. The operations carry no
// context: the host knows which pixel is being evaluated.
struct PixelAccess {
    double pixel_x;
    double pixel_y;
    void (*get_values)(int32_t buffer, int32_t count, float* values);
    void (*set_rgba)(const float rgba[4]);
    void (*set_values)(int32_t buffer, int32_t count, const float* values);
};

}  // extern "C"

// ---- The 32-bit layout ------------------------------------------------------

#if UINTPTR_MAX == 0xFFFFFFFFu
#define OBK_LAYOUT(record, field, offset) \
    static_assert(offsetof(record, field) == (offset), #record "." #field)
#define OBK_SIZE(record, size) static_assert(sizeof(record) == (size), #record)

OBK_LAYOUT(ModuleRecord, sync, 0);
OBK_LAYOUT(ModuleRecord, version, 4);
OBK_LAYOUT(ModuleRecord, machine, 8);
OBK_LAYOUT(ModuleRecord, startup, 12);
OBK_LAYOUT(ModuleRecord, shutdown, 16);
OBK_LAYOUT(ModuleRecord, servers, 20);
OBK_SIZE(ModuleRecord, 24);

OBK_LAYOUT(ServerEntry, class_name, 0);
OBK_LAYOUT(ServerEntry, server_name, 4);
OBK_LAYOUT(ServerEntry, activate, 8);
OBK_LAYOUT(ServerEntry, tag_info, 12);
OBK_SIZE(ServerEntry, 16);

OBK_LAYOUT(PixelHandlerRecord, instance_ops, 0);
OBK_LAYOUT(PixelHandlerRecord, item_ops, 4);
OBK_LAYOUT(PixelHandlerRecord, render_ops, 8);
OBK_LAYOUT(PixelHandlerRecord, evaluate, 12);
OBK_LAYOUT(PixelHandlerRecord, flags, 16);

OBK_LAYOUT(ImageHandlerRecord, instance_ops, 0);
OBK_LAYOUT(ImageHandlerRecord, item_ops, 4);
OBK_LAYOUT(ImageHandlerRecord, process, 8);
OBK_LAYOUT(ImageHandlerRecord, flags, 12);

OBK_LAYOUT(InstanceOps, host, 0);
OBK_LAYOUT(InstanceOps, create, 4);
OBK_LAYOUT(InstanceOps, destroy, 8);
OBK_LAYOUT(InstanceOps, copy, 12);
OBK_LAYOUT(InstanceOps, load, 16);
OBK_LAYOUT(InstanceOps, save, 20);
OBK_LAYOUT(InstanceOps, describe, 24);

OBK_LAYOUT(ItemOps, item_slot_0, 0);
OBK_LAYOUT(ItemOps, item_slot_1, 4);

OBK_LAYOUT(RenderOps, init, 0);
OBK_LAYOUT(RenderOps, cleanup, 4);
OBK_LAYOUT(RenderOps, new_time, 8);

OBK_LAYOUT(InterfaceRecord, instance, 0);
OBK_LAYOUT(InterfaceRecord, panel, 4);
OBK_LAYOUT(InterfaceRecord, options, 8);
OBK_LAYOUT(InterfaceRecord, command, 12);

OBK_LAYOUT(LoadState, host_data, 4);
OBK_LAYOUT(LoadState, read_u16, 28);
OBK_LAYOUT(LoadState, read_string, 40);
OBK_LAYOUT(SaveState, host_data, 4);
OBK_LAYOUT(SaveState, write_u16, 28);
OBK_LAYOUT(SaveState, write_string, 40);

OBK_LAYOUT(ImageListService, image_name, 12);
OBK_LAYOUT(ImageListService, image_size, 28);
OBK_LAYOUT(ImageListService, image_value, 32);
OBK_LAYOUT(ImageListService, image_rgb, 36);
OBK_LAYOUT(ImageListService, load_image_ref, 52);
OBK_LAYOUT(ImageListService, save_image_ref, 56);

OBK_LAYOUT(SceneInfoService, frame_width, 48);
OBK_LAYOUT(SceneInfoService, frame_height, 52);

OBK_LAYOUT(PanelService, create_panel, 0);
OBK_LAYOUT(PanelService, destroy_panel, 4);
OBK_LAYOUT(PanelService, open_panel, 8);
OBK_LAYOUT(PanelService, add_control, 32);

OBK_LAYOUT(PanelControl, control_get, 4);
OBK_LAYOUT(PanelControl, control_set, 8);

OBK_LAYOUT(ControlDesc, type, 0);
OBK_LAYOUT(ControlDesc, item.global, 4);
OBK_LAYOUT(ControlDesc, item.item_kind, 8);
OBK_LAYOUT(ControlDesc, item.list, 12);
OBK_LAYOUT(ControlDesc, item.count, 16);
OBK_LAYOUT(ControlDesc, item.width, 20);
OBK_LAYOUT(ControlDesc, text.lines, 4);
OBK_SIZE(ControlDesc, 24);

OBK_LAYOUT(ControlValue, type, 0);
OBK_LAYOUT(ControlValue, int_value, 4);
OBK_SIZE(ControlValue, 40);

OBK_LAYOUT(MessageService, show_error, 4);

OBK_LAYOUT(FileRequest, request_kind, 0);
OBK_LAYOUT(FileRequest, result, 4);
OBK_LAYOUT(FileRequest, title, 8);
OBK_LAYOUT(FileRequest, file_type, 12);
OBK_LAYOUT(FileRequest, directory, 16);
OBK_LAYOUT(FileRequest, base_name, 20);
OBK_LAYOUT(FileRequest, full_name, 24);
OBK_LAYOUT(FileRequest, buffer_length, 28);
OBK_LAYOUT(FileRequest, pick_callback, 32);

OBK_LAYOUT(LoaderLocal, host_data, 0);
OBK_LAYOUT(LoaderLocal, result, 4);
OBK_LAYOUT(LoaderLocal, filename, 8);
OBK_LAYOUT(LoaderLocal, begin_image, 16);
OBK_LAYOUT(LoaderLocal, end_image, 20);

OBK_LAYOUT(ImageProtocol, protocol_data, 4);
OBK_LAYOUT(ImageProtocol, finish, 8);
OBK_LAYOUT(ImageProtocol, set_size, 12);
OBK_LAYOUT(ImageProtocol, set_param, 16);
OBK_LAYOUT(ImageProtocol, send_line, 20);

OBK_LAYOUT(FilterAccess, width, 0);
OBK_LAYOUT(FilterAccess, height, 4);
OBK_LAYOUT(FilterAccess, frame, 8);
OBK_LAYOUT(FilterAccess, get_line, 32);
OBK_LAYOUT(FilterAccess, set_rgb, 36);
OBK_LAYOUT(FilterAccess, set_alpha, 40);

OBK_LAYOUT(PixelAccess, pixel_x, 0);
OBK_LAYOUT(PixelAccess, pixel_y, 8);
OBK_LAYOUT(PixelAccess, get_values, 16);
OBK_LAYOUT(PixelAccess, set_rgba, 20);
OBK_LAYOUT(PixelAccess, set_values, 24);

#undef OBK_LAYOUT
#undef OBK_SIZE
#endif
