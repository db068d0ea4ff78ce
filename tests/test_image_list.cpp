// The host's image list: sampling with edge clamping, colour and greyscale
// answers, stable ids, refused images and scene references by name.
#include <gtest/gtest.h>

#include <limits>

#include "compositor_fixture.h"
#include "host/image_list.h"
#include "host/scene_state.h"

namespace {

using test::make_image;

constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
constexpr int32_t I32_MIN = std::numeric_limits<int32_t>::min();

// 3 x 2 greyscale image whose values are x + 10 y.
host::Image grid(std::string name = "grid") {
    return make_image(std::move(name), 3, 2, 1, [](int32_t x, int32_t y, int32_t) { return float(x + 10 * y); });
}

TEST(ImageList, PositionsOutsideTheImageGiveTheNearestEdgePixel) {
    host::ImageList list;
    const ImageId id = list.add(grid());
    const ImageListService& service = *list.service();
    const struct { int32_t x, y; float value; } cases[] = {
        {0, 0, 0.0f}, {2, 1, 12.0f}, {1, 1, 11.0f},
        {3, 0, 2.0f}, {-1, 0, 0.0f}, {1, 2, 11.0f}, {1, -1, 1.0f},
        {I32_MAX, I32_MAX, 12.0f}, {I32_MIN, I32_MIN, 0.0f}, {I32_MIN, I32_MAX, 10.0f}, {I32_MAX, I32_MIN, 2.0f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(service.image_value(id, c.x, c.y), c.value) << c.x << ", " << c.y;
        float rgb[3] = {-1.0f, -1.0f, -1.0f};
        service.image_rgb(id, c.x, c.y, rgb);
        EXPECT_EQ(rgb[0], c.value);
        EXPECT_EQ(rgb[1], c.value) << "greyscale gives its value three times";
        EXPECT_EQ(rgb[2], c.value);
    }
}

TEST(ImageList, ColourImagesGiveTheirChannelsAndTheirLuminanceAsValue) {
    host::ImageList list;
    const float pure[3][4] = {{1, 0, 0, 0.5f}, {0, 1, 0, 0.5f}, {0, 0, 1, 0.5f}};
    const float weights[3] = {0.2126f, 0.7152f, 0.0722f};
    for (int32_t channels : {3, 4}) {
        const ImageId id = list.add(make_image("colour " + std::to_string(channels), 3, 1, channels,
                                               [&](int32_t x, int32_t, int32_t c) { return pure[x][c]; }));
        for (int32_t x = 0; x < 3; ++x) {
            float rgb[3];
            list.service()->image_rgb(id, x, 0, rgb);
            EXPECT_EQ(std::vector<float>(rgb, rgb + 3), std::vector<float>(pure[x], pure[x] + 3));
            EXPECT_EQ(list.service()->image_value(id, x, 0), weights[x]) << channels << " channels, x " << x;
        }
        float edge[3];
        list.service()->image_rgb(id, 99, -5, edge);
        EXPECT_EQ(edge[2], 1.0f) << "clamped to the blue pixel";
    }
}

TEST(ImageList, NamesSizesAndNullIds) {
    host::ImageList list;
    const ImageId id = list.add(grid("depth.zb"));
    const ImageListService& service = *list.service();
    EXPECT_STREQ(service.image_name(id), "depth.zb");
    int32_t width = 0, height = 0;
    service.image_size(id, &width, &height);
    EXPECT_EQ(width, 3);
    EXPECT_EQ(height, 2);

    EXPECT_EQ(service.image_name(nullptr), nullptr);
    service.image_size(nullptr, &width, &height);
    EXPECT_EQ(width, 0);
    EXPECT_EQ(height, 0);
    EXPECT_EQ(service.image_value(nullptr, 0, 0), 0.0f);
    float rgb[3] = {1, 1, 1};
    service.image_rgb(nullptr, 0, 0, rgb);
    EXPECT_EQ(std::vector<float>(rgb, rgb + 3), std::vector<float>(3, 0.0f));
}

TEST(ImageList, IdsStayValidWhileImagesAreAdded) {
    host::ImageList list;
    const ImageId first = list.add(grid("first"));
    for (int i = 0; i < 500; ++i) list.add(make_image("filler " + std::to_string(i), 2, 2, 3, [](int32_t, int32_t, int32_t) { return 0.5f; }));
    EXPECT_EQ(list.size(), 501u);
    EXPECT_EQ(list.find("first"), first);
    EXPECT_STREQ(list.service()->image_name(first), "first");
    EXPECT_EQ(list.service()->image_value(first, 2, 1), 12.0f);
    EXPECT_EQ(list.find("missing"), nullptr);
}

TEST(ImageList, RefusesImagesItCannotHold) {
    host::ImageList list;
    list.add(grid("taken"));
    const auto with = [](auto change) {
        host::Image image = grid("new");
        change(image);
        return image;
    };
    const struct { const char* name; host::Image image; } cases[] = {
        {"empty name", with([](host::Image& i) { i.name.clear(); })},
        {"taken name", with([](host::Image& i) { i.name = "taken"; })},
        {"two channels", with([](host::Image& i) { i.channels = 2; i.pixels.resize(12); })},
        {"zero width", with([](host::Image& i) { i.width = 0; i.pixels.clear(); })},
        {"negative height", with([](host::Image& i) { i.height = -2; })},
        {"too few samples", with([](host::Image& i) { i.pixels.pop_back(); })},
        {"too many samples", with([](host::Image& i) { i.pixels.push_back(0.0f); })},
        {"a row of 2^32 samples", with([](host::Image& i) { i.width = 1 << 30; i.height = 1; i.channels = 4; })},
        {"sizes whose product wraps", with([](host::Image& i) { i.width = I32_MAX; i.height = I32_MAX; i.channels = 4; })},
    };
    for (const auto& c : cases) EXPECT_THROW(list.add(c.image), host::HostError) << c.name;
    EXPECT_EQ(list.size(), 1u);
}

TEST(ImageList, SceneReferencesGoByName) {
    host::ImageList list;
    const ImageId depth = list.add(grid("depth.zb"));
    const ImageId plate = list.add(grid("plate"));
    host::SceneValues values;
    {
        host::SceneWriter writer(values);
        for (ImageId id : {plate, static_cast<ImageId>(nullptr), depth}) list.service()->save_image_ref(writer.state(), id);
    }
    EXPECT_EQ(values, (host::SceneValues{host::ImageRef{"plate"}, host::ImageRef{""}, host::ImageRef{"depth.zb"}}));

    values.push_back(host::ImageRef{"not loaded"});
    values.push_back(std::string("plate"));  // a text where a reference belongs
    host::SceneReader reader(values);
    const ImageId expected[] = {plate, nullptr, depth, nullptr, nullptr, nullptr /* past the end */};
    for (ImageId id : expected) EXPECT_EQ(list.service()->load_image_ref(reader.state()), id);
}

TEST(ImageList, IsOfferedWhileItLives) {
    EXPECT_EQ(host::host_global("LW Image List 3", 0), nullptr);
    {
        host::ImageList list;
        EXPECT_EQ(host::host_global("LW Image List 3", 0), list.service());
    }
    EXPECT_EQ(host::host_global("LW Image List 3", 0), nullptr);
}

}  // namespace
