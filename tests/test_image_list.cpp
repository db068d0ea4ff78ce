// The host's image list: sampling with edge clamping, colour and greyscale
// answers, stable ids, refused images and scene references by name.
#include <gtest/gtest.h>

#include <limits>

#include "compositor_fixture.h"
#include "host/image_list.h"
#include "host/scene_state.h"

namespace {

constexpr int32_t I32_MAX = std::numeric_limits<int32_t>::max();
constexpr int32_t I32_MIN = std::numeric_limits<int32_t>::min();

// 3 x 2 greyscale image whose values are x + 10 y.
host::Image grid(std::string name) {
    return test::make_image(std::move(name), 3, 2, 1, [](int32_t x, int32_t y, int32_t) { return float(x + 10 * y); });
}

std::vector<float> rgb_at(const ImageListService& service, ImageId id, int32_t x, int32_t y) {
    float rgb[3] = {-1.0f, -1.0f, -1.0f};
    service.image_rgb(id, x, y, rgb);
    return {rgb, rgb + 3};
}

TEST(ImageList, GreyscaleSamplesClampToTheNearestEdgePixel) {
    host::ImageList list;
    const ImageId id = list.add(grid("grid"));
    const ImageListService& service = *list.service();
    const struct { int32_t x, y; float value; } cases[] = {
        {0, 0, 0.0f}, {2, 1, 12.0f}, {3, 0, 2.0f}, {-1, 0, 0.0f}, {1, 2, 11.0f}, {1, -1, 1.0f},
        {I32_MAX, I32_MAX, 12.0f}, {I32_MIN, I32_MIN, 0.0f}, {I32_MIN, I32_MAX, 10.0f}, {I32_MAX, I32_MIN, 2.0f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(service.image_value(id, c.x, c.y), c.value) << c.x << ", " << c.y;
        EXPECT_EQ(rgb_at(service, id, c.x, c.y), std::vector<float>(3, c.value)) << "the value three times";
    }
    EXPECT_STREQ(service.image_name(id), "grid");
    int32_t width = 0, height = 0;
    service.image_size(id, &width, &height);
    EXPECT_EQ(std::pair(width, height), std::pair(3, 2));
}

TEST(ImageList, ColourImagesGiveTheirChannelsAndTheirLuminanceAsValue) {
    host::ImageList list;
    const float pure[3][4] = {{1, 0, 0, 0.5f}, {0, 1, 0, 0.5f}, {0, 0, 1, 0.5f}};
    const float weights[3] = {0.2126f, 0.7152f, 0.0722f};
    for (int32_t channels : {3, 4}) {
        const ImageId id = list.add(test::make_image("colour " + std::to_string(channels), 3, 1, channels,
                                                     [&](int32_t x, int32_t, int32_t c) { return pure[x][c]; }));
        for (int32_t x = 0; x < 3; ++x) {
            EXPECT_EQ(rgb_at(*list.service(), id, x, 0), std::vector<float>(pure[x], pure[x] + 3));
            EXPECT_EQ(list.service()->image_value(id, x, 0), weights[x]) << channels << " channels, x " << x;
        }
        EXPECT_EQ(rgb_at(*list.service(), id, 99, -5), (std::vector<float>{0, 0, 1})) << "clamped to the blue pixel";
    }
}

TEST(ImageList, NullIdsAndIdsThatOutliveLaterAdditions) {
    host::ImageList list;
    const ImageListService& service = *list.service();
    const ImageId first = list.add(grid("first"));
    for (int i = 0; i < 500; ++i) list.add(grid("filler " + std::to_string(i)));
    EXPECT_EQ(list.find("first"), first);
    EXPECT_STREQ(service.image_name(first), "first");
    EXPECT_EQ(service.image_value(first, 2, 1), 12.0f);
    EXPECT_EQ(list.find("missing"), nullptr);

    int32_t width = 5, height = 5;
    service.image_size(nullptr, &width, &height);
    EXPECT_EQ(std::pair(width, height), std::pair(0, 0));
    EXPECT_EQ(service.image_name(nullptr), nullptr);
    EXPECT_EQ(service.image_value(nullptr, 0, 0), 0.0f);
    EXPECT_EQ(rgb_at(service, nullptr, 0, 0), std::vector<float>(3, 0.0f));
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
        for (ImageId id : {plate, ImageId{}, depth}) list.service()->save_image_ref(writer.state(), id);
    }
    EXPECT_EQ(values, (host::SceneValues{host::ImageRef{"plate"}, host::ImageRef{""}, host::ImageRef{"depth.zb"}}));

    values.push_back(host::ImageRef{"not loaded"});
    values.push_back(std::string("plate"));  // a text where a reference belongs
    host::SceneReader reader(values);
    for (ImageId id : {plate, ImageId{}, depth, ImageId{}, ImageId{}, ImageId{} /* past the end */}) {
        EXPECT_EQ(list.service()->load_image_ref(reader.state()), id);
    }
}

}  // namespace
