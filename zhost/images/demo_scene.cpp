#include "zhost/images/demo_scene.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

namespace zhost {
namespace {

struct Vec3 {
    float x = 0, y = 0, z = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec3 normalised(Vec3 a) { return a * (1.0f / std::sqrt(dot(a, a))); }

// A direction rotated by `angle` about the vertical axis.
Vec3 rotate_y(Vec3 v, float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    return {c * v.x + s * v.z, v.y, -s * v.x + c * v.z};
}

struct Sphere {
    Vec3 centre;
    float radius;
    Vec3 colour;
};

// A box turned by `angle` about its vertical axis.
struct Box {
    Vec3 centre;
    Vec3 half;
    float angle;
    Vec3 colour;
};

struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Box> boxes;
    bool ground = false;
};

struct Ray {
    Vec3 origin;
    Vec3 direction;  // not normalised: t along it is the camera-space depth
};

struct Hit {
    float t = INFINITY;
    Vec3 normal;
    Vec3 colour;
};

constexpr float EPSILON = 1e-4f;
const Vec3 LIGHT = normalised({-0.5f, 1.0f, -0.6f});

bool hit_sphere(const Sphere& s, const Ray& ray, float& t) {
    const Vec3 oc = ray.origin - s.centre;
    const float a = dot(ray.direction, ray.direction);
    const float b = dot(oc, ray.direction);
    const float c = dot(oc, oc) - s.radius * s.radius;
    const float discriminant = b * b - a * c;
    if (discriminant < 0) return false;
    const float root = std::sqrt(discriminant);
    t = (-b - root) / a;
    if (t <= EPSILON) t = (-b + root) / a;
    return t > EPSILON;
}

// Slab test in the box's own frame; `axis` receives the axis of entry.
bool hit_box(const Box& box, const Ray& ray, float& t, int& axis, float& sign) {
    const Vec3 o = rotate_y(ray.origin - box.centre, -box.angle);
    const Vec3 d = rotate_y(ray.direction, -box.angle);
    const float origin[3] = {o.x, o.y, o.z}, direction[3] = {d.x, d.y, d.z}, half[3] = {box.half.x, box.half.y, box.half.z};
    float near = -INFINITY, far = INFINITY;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(direction[i]) < 1e-12f) {
            if (std::fabs(origin[i]) > half[i]) return false;
            continue;
        }
        float t0 = (-half[i] - origin[i]) / direction[i], t1 = (half[i] - origin[i]) / direction[i];
        const float entry_sign = t0 < t1 ? -1.0f : 1.0f;
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > near) {
            near = t0;
            axis = i;
            sign = entry_sign;
        }
        far = std::min(far, t1);
    }
    if (near > far || near <= EPSILON) return false;
    t = near;
    return true;
}

Vec3 box_normal(const Box& box, int axis, float sign) {
    Vec3 n;
    (axis == 0 ? n.x : axis == 1 ? n.y : n.z) = sign;
    return rotate_y(n, box.angle);
}

Vec3 ground_colour(Vec3 p) {
    const bool light = (int(std::floor(p.x)) + int(std::floor(p.z))) % 2 == 0;
    return light ? Vec3{0.55f, 0.55f, 0.5f} : Vec3{0.32f, 0.33f, 0.3f};
}

Hit nearest_hit(const Scene& scene, const Ray& ray) {
    Hit hit;
    float t;
    for (const Sphere& s : scene.spheres) {
        if (hit_sphere(s, ray, t) && t < hit.t) {
            hit.t = t;
            hit.normal = normalised(ray.origin + ray.direction * t - s.centre);
            hit.colour = s.colour;
        }
    }
    for (const Box& b : scene.boxes) {
        int axis = 0;
        float sign = 1;
        if (hit_box(b, ray, t, axis, sign) && t < hit.t) {
            hit.t = t;
            hit.normal = box_normal(b, axis, sign);
            hit.colour = b.colour;
        }
    }
    if (scene.ground && ray.direction.y < 0) {
        t = -ray.origin.y / ray.direction.y;
        const Vec3 p = ray.origin + ray.direction * t;
        if (t > EPSILON && t < hit.t && p.x * p.x + p.z * p.z < DEMO_GROUND_RADIUS * DEMO_GROUND_RADIUS) {
            hit.t = t;
            hit.normal = {0, 1, 0};
            hit.colour = ground_colour(p);
        }
    }
    return hit;
}

bool in_shadow(const Scene& scene, Vec3 point) {
    const Ray ray{point, LIGHT};
    float t;
    int axis;
    float sign;
    for (const Sphere& s : scene.spheres)
        if (hit_sphere(s, ray, t)) return true;
    for (const Box& b : scene.boxes)
        if (hit_box(b, ray, t, axis, sign)) return true;
    return false;
}

Vec3 shade(const Scene& scene, const Ray& ray, const Hit& hit) {
    const Vec3 point = ray.origin + ray.direction * hit.t;
    const float lambert = std::max(0.0f, dot(hit.normal, LIGHT));
    const float lit = lambert > 0 && !in_shadow(scene, point + hit.normal * 1e-3f) ? lambert : 0.0f;
    return hit.colour * (0.18f + 0.82f * lit);
}

Scene first_layer(float phase) {
    Scene scene;
    scene.ground = true;
    scene.boxes.push_back({{0, 0.6f, 0}, {0.6f, 0.6f, 0.6f}, phase, {0.2f, 0.4f, 0.9f}});
    scene.boxes.push_back({{2.6f, 0.4f, -0.6f}, {0.4f, 0.4f, 0.4f}, -phase, {0.9f, 0.8f, 0.2f}});
    scene.spheres.push_back({{-2.2f, 0.7f + 0.8f * std::fabs(std::sin(phase)), 0.8f}, 0.7f, {0.9f, 0.2f, 0.15f}});
    scene.spheres.push_back({{1.2f + 1.6f * std::cos(phase), 0.5f, 2.0f + 1.6f * std::sin(phase)}, 0.5f, {0.2f, 0.8f, 0.3f}});
    return scene;
}

Scene second_layer(float phase) {
    Scene scene;
    // Passes through the blue box, whose half size is smaller than its radius.
    scene.spheres.push_back({{0.9f * std::sin(phase), 0.75f, 0}, 0.8f, {0.95f, 0.35f, 0.8f}});
    // Follows the green sphere, overlapping it.
    const Vec3 green = {1.2f + 1.6f * std::cos(phase), 0.5f, 2.0f + 1.6f * std::sin(phase)};
    scene.spheres.push_back({green + Vec3{0.45f, 0.3f, -0.2f}, 0.45f, {0.95f, 0.95f, 0.9f}});
    // A slab turning through the red sphere's path.
    scene.boxes.push_back({{-2.2f, 0.9f, 0.8f}, {0.25f, 0.9f, 0.9f}, 0.5f * phase, {0.2f, 0.85f, 0.85f}});
    return scene;
}

struct Camera {
    Vec3 position{0, 2.2f, -8.0f};
    Vec3 forward, right, up;
    float tan_half_height = std::tan(20.0f * std::numbers::pi_v<float> / 180.0f);
    float aspect = 1;

    Camera(int32_t width, int32_t height) : aspect(float(width) / float(height)) {
        forward = normalised(Vec3{0, 0.7f, 0} - position);
        right = normalised(cross(Vec3{0, 1, 0}, forward));
        up = cross(forward, right);
    }
    // The ray through the centre of pixel (x, y), rows from the top.
    Ray ray(int32_t x, int32_t y, int32_t width, int32_t height) const {
        const float sx = (2.0f * (float(x) + 0.5f) / float(width) - 1.0f) * tan_half_height * aspect;
        const float sy = (1.0f - 2.0f * (float(y) + 0.5f) / float(height)) * tan_half_height;
        return {position, forward + right * sx + up * sy};
    }
};

host::Image blank(int32_t width, int32_t height, int32_t channels, const char* name) {
    host::Image image;
    image.name = name;
    image.width = width;
    image.height = height;
    image.channels = channels;
    image.pixels.assign(std::size_t(width) * std::size_t(height) * std::size_t(channels), 0.0f);
    return image;
}

// Renders rows taken one at a time from `next_row` until none is left.
void render_rows(const Scene& scene, const Camera& camera, RenderedLayer& out, std::atomic<int32_t>& next_row) {
    const int32_t width = out.depth.width, height = out.depth.height;
    for (int32_t y = next_row++; y < height; y = next_row++) {
        for (int32_t x = 0; x < width; ++x) {
            const Ray ray = camera.ray(x, y, width, height);
            const Hit hit = nearest_hit(scene, ray);
            float* rgba = &out.rgba.pixels[out.rgba.index(x, y)];
            float& depth = out.depth.pixels[out.depth.index(x, y)];
            if (!std::isfinite(hit.t)) {
                depth = DEMO_BACKGROUND_DEPTH;
                continue;
            }
            const Vec3 colour = shade(scene, ray, hit);
            rgba[0] = colour.x;
            rgba[1] = colour.y;
            rgba[2] = colour.z;
            rgba[3] = 1.0f;
            depth = hit.t;
        }
    }
}

}  // namespace

RenderedLayer render_demo_layer(DemoLayer layer, DemoFrame frame, int32_t width, int32_t height, int threads) {
    const int32_t count = std::max(frame.count, 1);
    const float phase = 2.0f * std::numbers::pi_v<float> * float(frame.index % count) / float(count);
    const Scene scene = layer == DemoLayer::FIRST ? first_layer(phase) : second_layer(phase);
    const Camera camera(width, height);
    const char* name = layer == DemoLayer::FIRST ? "first layer" : "second layer";
    RenderedLayer out{blank(width, height, 4, name), blank(width, height, 1, name)};

    if (threads <= 0) threads = int(std::max(1u, std::thread::hardware_concurrency()));
    threads = std::clamp(threads, 1, std::max(1, height));
    std::atomic<int32_t> next_row{0};
    std::vector<std::thread> workers;
    try {
        for (int t = 1; t < threads; ++t) workers.emplace_back([&] { render_rows(scene, camera, out, next_row); });
    } catch (const std::system_error&) {
        // Fewer threads than asked: the ones running take the remaining rows.
    }
    render_rows(scene, camera, out, next_row);
    for (std::thread& worker : workers) worker.join();
    return out;
}

}  // namespace zhost
