// "LW Scene Info 2": the size of the frames being rendered.
#pragma once

#include <cstdint>

#include "host/services.h"
#include "module/host_interface.h"

namespace host {

// Offers the scene information while it lives.
class SceneInfo {
public:
    SceneInfo(int32_t frame_width, int32_t frame_height);
    SceneInfo(const SceneInfo&) = delete;
    SceneInfo& operator=(const SceneInfo&) = delete;

    void set_frame_size(int32_t frame_width, int32_t frame_height);
    const SceneInfoService& service() const { return service_; }

private:
    SceneInfoService service_{};
    OfferedService offer_;
};

}  // namespace host
