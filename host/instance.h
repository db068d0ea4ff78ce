// One instance of a handler server, made and destroyed through the
// InstanceOps table that the server's activation filled.
#pragma once

#include <string>

#include "host/module_host.h"
#include "host/scene_state.h"

namespace host {

class Instance {
public:
    // Calls create with the table's host pointer. Throws HostError with the
    // server's error text when create returns no instance.
    explicit Instance(const InstanceOps& ops);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    void* get() const { return instance_; }
    const InstanceOps& ops() const { return ops_; }

    std::string describe() const;
    // Each throws HostError with the error text that the operation returns.
    void copy_from(const Instance& source);
    void save(SceneValues& values) const;
    void load(const SceneValues& values);

private:
    InstanceOps ops_;
    void* instance_;
};

// Throws HostError when `error_text` is not null.
void check_error_text(const char* error_text);

}  // namespace host
