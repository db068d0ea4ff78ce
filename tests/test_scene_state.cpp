// Scene values written through SaveState and read back through LoadState.
#include <gtest/gtest.h>

#include <cstring>

#include "host/scene_state.h"

TEST(SceneState, ValuesComeBackInOrderWithTheirTypes) {
    host::SceneValues values;
    host::SceneWriter writer(values);
    const SaveState* save = writer.state();
    save->write_string(save->host_data, "/renders/depth");
    const uint16_t numbers[] = {6, 0, 65535};
    save->write_u16(save->host_data, numbers, 3);
    writer.write_image_ref("plate.exr");
    save->write_string(save->host_data, nullptr);
    ASSERT_EQ(values.size(), 6u);

    host::SceneReader reader(values);
    const LoadState* load = reader.state();
    char text[64];
    load->read_string(load->host_data, text, sizeof text);
    EXPECT_STREQ(text, "/renders/depth");
    uint16_t read[3] = {1, 1, 1};
    load->read_u16(load->host_data, read, 3);
    EXPECT_EQ(read[0], 6);
    EXPECT_EQ(read[1], 0);
    EXPECT_EQ(read[2], 65535);
    EXPECT_EQ(host::SceneReader::from(load).read_image_ref().name, "plate.exr");
    load->read_string(load->host_data, text, sizeof text);
    EXPECT_STREQ(text, "");
}

TEST(SceneState, ReadsStayWithinCapacityAndPastTheEndGiveEmptyValues) {
    host::SceneValues values{std::string(300, 'x'), uint16_t{7}};
    host::SceneReader reader(values);
    const LoadState* load = reader.state();
    char text[260];
    std::memset(text, '#', sizeof text);
    load->read_string(load->host_data, text, 8);
    EXPECT_STREQ(text, "xxxxxxx");
    EXPECT_EQ(text[8], '#') << "nothing written past the capacity";

    // A text asked where a number stands yields an empty text.
    load->read_string(load->host_data, text, sizeof text);
    EXPECT_STREQ(text, "");
    uint16_t number = 99;
    load->read_u16(load->host_data, &number, 1);
    EXPECT_EQ(number, 0);
    std::strcpy(text, "garbage");
    load->read_string(load->host_data, text, sizeof text);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(reader.read_image_ref().name, "");
}
