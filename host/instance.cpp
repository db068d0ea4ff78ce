#include "host/instance.h"

#include "host/boundary.h"

namespace host {

void check_error_text(const char* error_text) {
    if (error_text != nullptr) throw HostError(error_text);
}

Instance::Instance(const InstanceOps& ops) : ops_(ops), instance_(nullptr) {
    const char* error_text = nullptr;
    instance_ = ops_.create(ops_.host, nullptr, &error_text);
    if (instance_ == nullptr) {
        throw HostError(error_text ? error_text : "the server created no instance");
    }
}

Instance::~Instance() { ops_.destroy(instance_); }

std::string Instance::describe() const {
    const char* text = call_module(ops_.describe, instance_);
    return text ? text : "";
}

void Instance::copy_from(const Instance& source) {
    check_error_text(ops_.copy(instance_, source.instance_));
}

void Instance::save(SceneValues& values) const {
    SceneWriter writer(values);
    check_error_text(call_module(ops_.save, instance_, writer.state()));
}

void Instance::load(const SceneValues& values) {
    SceneReader reader(values);
    check_error_text(call_module(ops_.load, instance_, reader.state()));
}

}  // namespace host
