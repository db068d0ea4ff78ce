#include "host/scene_info.h"

namespace host {

SceneInfo::SceneInfo(int32_t frame_width, int32_t frame_height) : offer_(SERVICE_SCENE_INFO, &service_) {
    set_frame_size(frame_width, frame_height);
}

void SceneInfo::set_frame_size(int32_t frame_width, int32_t frame_height) {
    service_.frame_width = frame_width;
    service_.frame_height = frame_height;
}

}  // namespace host
