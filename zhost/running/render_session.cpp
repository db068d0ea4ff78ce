#include "zhost/running/render_session.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <variant>

#include "host/file_requester.h"
#include "host/image_filter.h"
#include "host/panel.h"
#include "host/pixel_filter.h"
#include "zbuf/zbuf.h"
#include "zhost/running/server_messages.h"
#include "zhost/text/error.h"
#include "zhost/text/one_line.h"
#include "zhost/text/suggest.h"

namespace zhost {

struct RenderSession::Filter {
    FilterSpec spec;
    std::unique_ptr<host::PixelFilter> pixel;
    std::unique_ptr<host::ImageFilter> image;
    std::optional<host::SceneValues> values;  // pixel filters: reloaded in each frame's image list
    // Pixel filters: the description taken while the last frame's images
    // existed; the instance's image ids are stale once they are gone.
    std::optional<std::string> description;
    std::vector<std::string> written;  // depth files, by their committed names

    host::Instance& instance() { return pixel ? pixel->instance() : image->instance(); }
    const host::Instance& instance() const { return pixel ? pixel->instance() : image->instance(); }
};

namespace {

constexpr double FRAMES_PER_SECOND = 24.0;
constexpr const char* REQUESTER_PATH = "path";

// The error of a server as zhost reports it: the server's own text, prefixed
// with its name when the text does not already say which server spoke.
Error server_error(const std::string& server, const std::string& text) {
    return Error(text.compare(0, server.size(), server) == 0 ? text : server + ": " + text);
}

// Why an answer is refused: its label names no control, with the nearest label or all of them.
std::string unknown_label(const std::string& label, const std::string& servers, const std::set<std::string>& labels) {
    const std::vector<std::string> known(labels.begin(), labels.end());
    const std::string hint = did_you_mean(label, known);
    std::vector<std::string> quoted;
    for (const std::string& known_label : known) quoted.push_back("'" + known_label + "'");
    return "no control of that label in the options of " + servers +
           (hint.empty() ? " (labels: " + joined(quoted) + ")" : hint);
}

using Renames = std::vector<std::pair<std::string, std::string>>;

void throw_on_messages(const host::MessageLog& log, const Renames& renames = {}) {
    const std::vector<host::Message> messages = log.messages();
    if (messages.empty()) return;
    throw Error(message_line(messages.front(), renames), message_cause(messages.front(), log.error_numbers().front()));
}

// While it lives, a depth saver writes into a staging folder: its settings
// carry the staged base name, and the user's again when it goes, so that
// its description and saved settings name what the user chose. A relative
// base lies in `folder`.
class StagedSaver {
public:
    StagedSaver(host::Instance& instance, StagedFiles& outputs, int32_t frame, const std::filesystem::path& folder)
        : instance_(instance) {
        instance.save(user_);
        if (user_.empty() || !std::holds_alternative<std::string>(user_[0])) return;
        const std::string& user_base = std::get<std::string>(user_[0]);
        if (user_base.empty()) return;  // the saver says "No filename selected."
        base_ = name_in_folder(folder, user_base);
        staged_base_ = outputs.staging_base(base_);
        check_depth_file_names(base_, staged_base_, std::span<const int32_t>(&frame, 1));
        host::SceneValues staged = user_;
        staged[0] = staged_base_;
        instance.load(staged);
    }
    ~StagedSaver() {
        if (staged_base_.empty()) return;
        try {
            instance_.load(user_);
        } catch (...) {  // a destructor throws nothing; the saver keeps the staged name
        }
    }
    StagedSaver(const StagedSaver&) = delete;
    StagedSaver& operator=(const StagedSaver&) = delete;

    Renames renames() const { return staged_base_.empty() ? Renames{} : Renames{{staged_base_, base_}}; }

    // Notes the frame's file, if the saver wrote one; returns its name.
    std::optional<std::string> note(int32_t frame, StagedFiles& outputs) const {
        if (staged_base_.empty()) return std::nullopt;
        const std::string staged = depth_file_name(staged_base_, frame);
        std::error_code error;
        if (!std::filesystem::is_regular_file(staged, error)) return std::nullopt;
        const std::string destination = depth_file_name(base_, frame);
        outputs.add(staged, destination);
        return destination;
    }

private:
    host::Instance& instance_;
    host::SceneValues user_;
    std::string base_;
    std::string staged_base_;
};

}  // namespace

std::string depth_file_name(const std::string& base, int32_t frame) {
    char name[ZBUF_NAME_CAPACITY];
    return format_zbuf_file_name(name, base.c_str(), frame) ? name : "";
}

void check_depth_file_names(const std::string& base, const std::string& staged_base, std::span<const int32_t> frames) {
    for (const int32_t frame : frames) {
        if (!depth_file_name(staged_base, frame).empty()) continue;
        // The longest base that fits, with a 4-digit frame number and ".zb".
        const std::size_t staging = staged_base.size() - base.size();
        const std::size_t longest = ZBUF_NAME_CAPACITY - 1 - staging - 8;
        throw Error(base + ": base path too long for depth file names (at most " + std::to_string(longest) +
                    " characters)");
    }
}

std::string name_in_folder(const std::filesystem::path& folder, const std::string& name) {
    return name.empty() || std::filesystem::path(name).is_absolute() ? name : (folder / name).string();
}

FilterSpec saver_spec(const std::string& base) {
    FilterSpec spec;
    spec.kind = FilterKind::IMAGE;
    spec.server = SAVER_SERVER;
    spec.run_options = true;
    spec.answers.values = {{REQUESTER_PATH, base}};
    return spec;
}

RenderSession::RenderSession(const host::Module& module, const std::vector<FilterSpec>& filters, int threads,
                             host::MessageLog& log)
    : module_(module), threads_(std::max(threads, 1)), log_(log) {
    const bool has_pixel_filters = std::any_of(filters.begin(), filters.end(),
                                               [](const FilterSpec& f) { return f.kind == FilterKind::PIXEL; });
    if (has_pixel_filters) {
        session_list_ = std::make_unique<host::ImageList>();
        scene_info_ = std::make_unique<host::SceneInfo>(0, 0);
    }
    for (const FilterSpec& spec : filters) {
        auto filter = std::make_unique<Filter>();
        filter->spec = spec;
        if (spec.kind == FilterKind::PIXEL) {
            filter->pixel = std::make_unique<host::PixelFilter>(module_, spec.server);
            filter->values = spec.settings;
        } else {
            filter->image = std::make_unique<host::ImageFilter>(module_, spec.server);
            if (spec.settings) filter->image->instance().load(*spec.settings);
        }
        filters_.push_back(std::move(filter));
    }
}

RenderSession::~RenderSession() = default;

// Returns the labels that the server's requester or panel showed.
std::set<std::string> RenderSession::run_options(Filter& filter, const host::ImageList& images) {
    const OptionAnswers& answers = filter.spec.answers;
    std::set<std::string> labels;
    try {
        if (filter.pixel) {
            host::PanelScript script;
            script.confirm = answers.confirm;
            // An image that does not exist is named only once its label is
            // known to be a control's: a wrong label is reported first.
            std::map<std::string, std::string> unknown_images;
            for (const auto& [label, image_name] : answers.values) {
                if (label == REQUESTER_PATH) continue;  // an answer for file requesters
                ImageId id = images.find(image_name);
                if (id == nullptr) unknown_images[label] = image_name;
                else script.choose_on_open[label] = reinterpret_cast<intptr_t>(id);
            }
            host::ScriptedPanels panels(script);
            if (filter.values) filter.pixel->instance().load(*filter.values);
            filter.pixel->options();
            for (const auto& panel : panels.panels) {
                for (const auto& control : panel->controls) labels.insert(control->label);
            }
            for (const auto& [label, image_name] : unknown_images) {
                if (labels.count(label) != 0) throw Error("answer \"" + label + "\": no image \"" + image_name + "\"");
            }
            host::SceneValues saved;
            filter.pixel->instance().save(saved);
            filter.values = std::move(saved);
        } else {
            const auto path = answers.values.find(REQUESTER_PATH);
            host::ScriptedFileRequester requester(path == answers.values.end() ? std::string() : path->second);
            requester.set_cancelling(!answers.confirm || path == answers.values.end());
            filter.image->options();
            if (!requester.requests().empty()) labels.insert(REQUESTER_PATH);
        }
    } catch (const host::HostError& error) {
        throw server_error(filter.spec.server, error.what());
    } catch (const Error& error) {
        throw Error(filter.spec.server + " options: " + error.what());
    }
    throw_on_messages(log_);
    return labels;
}

void RenderSession::run_all_options(const host::ImageList& images) {
    std::set<std::string> shown;  // by any server
    std::vector<std::string> servers;
    for (auto& filter : filters_) {
        if (!filter->spec.run_options) continue;
        const std::set<std::string> labels = run_options(*filter, images);
        shown.insert(labels.begin(), labels.end());
        servers.push_back(filter->spec.server);
        const OptionAnswers& answers = filter->spec.answers;
        for (const auto& [label, value] : answers.values) {
            if (labels.count(label) != 0 || answers.given_to_all.count(label) != 0) continue;
            const std::string why = unknown_label(label, filter->spec.server, labels);
            throw Error(filter->spec.answers_key + "." + label + ": " + why);
        }
    }
    for (const auto& filter : filters_) {
        for (const std::string& label : filter->spec.answers.given_to_all) {
            if (shown.count(label) != 0) continue;
            throw UsageError("--answer " + label + "=...: " + unknown_label(label, joined(servers), shown));
        }
    }
}

void RenderSession::run_pixel_filters(host::Frame& frame) {
    scene_info_->set_frame_size(frame.width(), frame.height());
    for (auto& filter : filters_) {
        if (!filter->pixel) continue;
        try {
            if (filter->values) filter->pixel->instance().load(*filter->values);
            {
                host::RenderPass pass(*filter->pixel);
                pass.filter_frame(frame, frame.number() / FRAMES_PER_SECOND, threads_);
            }
            // Saved while this frame's images exist, so that references resolve.
            host::SceneValues saved;
            filter->pixel->instance().save(saved);
            filter->values = std::move(saved);
            filter->description = filter->pixel->instance().describe();
        } catch (const host::HostError& error) {
            throw server_error(filter->spec.server, error.what());
        }
        throw_on_messages(log_);
    }
}

void RenderSession::run_image_filters(host::Frame& frame, StagedFiles* outputs) {
    for (auto& filter : filters_) {
        if (!filter->image) continue;
        std::optional<StagedSaver> staged;
        try {
            if (outputs && filter->spec.server == SAVER_SERVER) {
                staged.emplace(filter->image->instance(), *outputs, frame.number(), files_folder_);
            }
            const host::Frame output = filter->image->process(frame);
            for (int32_t buffer : host::Frame::COLOUR_BUFFERS) {
                if (!frame.has(buffer)) continue;
                std::span<const float> from = output.samples(buffer);
                std::copy(from.begin(), from.end(), frame.samples(buffer).begin());
            }
        } catch (const host::HostError& error) {
            throw server_error(filter->spec.server, error.what());
        }
        throw_on_messages(log_, staged ? staged->renames() : Renames{});
        if (staged) {
            if (auto name = staged->note(frame.number(), *outputs)) filter->written.push_back(std::move(*name));
        }
    }
}

bool note_scaling(const std::string& what, const host::Image& image, const host::Frame& frame) {
    if (image.width == frame.width() && image.height == frame.height()) return false;
    std::fprintf(stderr, "note: %s %dx%d scaled to the %dx%d frame\n", what.c_str(), image.width, image.height,
                 frame.width(), frame.height());
    return true;
}

void RenderSession::note_scaled_images(const host::Frame& frame, const host::ImageList& images) {
    for (const auto& filter : filters_) {
        if (!filter->pixel || !filter->values) continue;
        for (const host::SceneValue& value : *filter->values) {
            const auto* ref = std::get_if<host::ImageRef>(&value);
            const ImageId id = ref != nullptr ? images.find(ref->name) : nullptr;
            if (id == nullptr) continue;
            if (noted_.count(ref->name) == 0 &&
                note_scaling("image \"" + one_line(ref->name) + "\"", host::ImageList::image(id), frame)) {
                noted_.insert(ref->name);
            }
        }
    }
}

void RenderSession::render(host::Frame& frame, std::vector<host::Image> images, StagedFiles* outputs) {
    // Pixel filters read and write every buffer; image filters take the
    // frame's buffers as they are (a depth saved alone costs its depth only).
    if (scene_info_) {
        for (int32_t buffer : host::Frame::ALL_BUFFERS) frame.add(buffer);
    }
    host::ImageList frame_list;
    for (host::Image& image : images) frame_list.add(std::move(image));
    if (!options_done_) {
        run_all_options(frame_list);
        options_done_ = true;
    }
    if (note_scaling_) note_scaled_images(frame, frame_list);
    if (scene_info_) run_pixel_filters(frame);
    run_image_filters(frame, outputs);
}

host::SceneValues RenderSession::settings(std::size_t index) const {
    const Filter& filter = *filters_.at(index);
    if (filter.pixel) return filter.values.value_or(host::SceneValues{});
    host::SceneValues values;
    filter.image->instance().save(values);
    return values;
}

const std::vector<std::string>& RenderSession::written(std::size_t index) const { return filters_.at(index)->written; }

std::string RenderSession::describe(std::size_t index) const {
    const Filter& filter = *filters_.at(index);
    return filter.description ? *filter.description : filter.instance().describe();
}

}  // namespace zhost
