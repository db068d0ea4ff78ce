// A pixel filter that shows what the host does per pixel: red and green get
// the pixel's position, blue the sum of buffers -1, 0 and 1 (which no frame
// holds), alpha and depth go up by one on each visit. It also writes to
// buffers that do not exist. Its render operations are logged in the script
// the host offers.
#include <cstdint>
#include <cstdlib>

#include "module/host_interface.h"
#include "tests/fake_modules/pixel_probe.h"

namespace {

struct Probe {
    HostGlobal global;
};

ProbeScript* script(void* instance) {
    return static_cast<ProbeScript*>(static_cast<Probe*>(instance)->global("Pixel Probe Script", 0));
}

void log_event(void* instance, int32_t event) {
    ProbeScript* s = script(instance);
    if (s && s->event_count < 32) s->events[s->event_count++] = event;
}

void* create(HostGlobal global, void*, const char**) {
    auto* probe = static_cast<Probe*>(std::calloc(1, sizeof(Probe)));
    probe->global = global;
    return probe;
}
void destroy(void* instance) { std::free(instance); }
const char* no_error(void*, void*) { return nullptr; }
const char* load(void*, const LoadState*) { return nullptr; }
const char* save(void*, const SaveState*) { return nullptr; }
const char* describe(void*) { return "Probe"; }

const char* init(void* instance, int32_t) {
    log_event(instance, PROBE_INIT);
    ProbeScript* s = script(instance);
    return s ? s->init_error : nullptr;
}
void cleanup(void* instance) { log_event(instance, PROBE_CLEANUP); }
const char* new_time(void* instance, int32_t frame, double) {
    log_event(instance, frame);
    ProbeScript* s = script(instance);
    return s && s->failing_frame == frame ? s->new_time_error : nullptr;
}

void evaluate(void*, const PixelAccess* access) {
    float rgba[4];
    float depth;
    float missing[3] = {-1.0f, -1.0f, -1.0f};
    access->get_values(BUF_RED, 4, rgba);
    access->get_values(BUF_DEPTH, 1, &depth);
    access->get_values(-1, 3, missing);
    const float out[4] = {float(access->pixel_x), float(access->pixel_y), missing[0] + missing[1] + missing[2],
                          rgba[3] + 1.0f};
    access->set_rgba(out);
    depth += 1.0f;
    access->set_values(BUF_DEPTH, 1, &depth);
    const float junk[2] = {99.0f, 99.0f};
    access->set_values(36, 2, junk);
    access->set_values(INT32_MAX, 2, junk);
    access->set_values(11, 1, junk);
}

uint32_t flags(void*) { return 1u << BUF_DEPTH; }

int32_t activate(int32_t version, HostGlobal global, void* local, void*) {
    if (version != SERVER_CLASS_VERSION) return ACTIVATE_BAD_VERSION;
    auto* record = static_cast<PixelHandlerRecord*>(local);
    InstanceOps* ops = record->instance_ops;
    ops->host = global;
    ops->create = create;
    ops->destroy = destroy;
    ops->copy = no_error;
    ops->load = load;
    ops->save = save;
    ops->describe = describe;
    record->render_ops->init = init;
    record->render_ops->cleanup = cleanup;
    record->render_ops->new_time = new_time;
    record->evaluate = evaluate;
    record->flags = flags;
    return ACTIVATE_OK;
}

const ServerEntry servers[] = {
    {"PixelFilterHandler", "Probe", activate, nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};

void* startup() { return nullptr; }
void shutdown() {}

}  // namespace

extern "C" __attribute__((visibility("default"))) const ModuleRecord _mod_descrip = {
    MODULE_SYNC, MODULE_VERSION, MODULE_MACHINE, startup, shutdown, servers,
};
