// A render as zhost runs it through the module: for each frame the pixel
// filters (init, new_time, evaluate on every pixel, cleanup), then the image
// filters, in the order given, with the frame's images in the image list.
// Settings go in and out only through each server's own load and save.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "host/frame.h"
#include "host/image.h"
#include "host/image_list.h"
#include "host/messages.h"
#include "host/module_host.h"
#include "host/scene_info.h"
#include "host/scene_state.h"
#include "zhost/files/staging.h"

namespace zhost {

// Scripted answers for a server's options: for a panel, the image (by name)
// that each control (by label) holds when the user closes it; for a file
// requester, the path under the key "path". `confirm` false cancels. Each
// label must name a control of the server's requester or panel, except the
// labels `given_to_all` servers whose options run (`zhost render --answer`):
// each of those must name a control of one of them.
struct OptionAnswers {
    std::map<std::string, std::string> values;
    bool confirm = true;
    std::set<std::string> given_to_all;
};

enum class FilterKind { PIXEL, IMAGE };

// The depth saver, whose files a render stages and commits with its frame.
constexpr const char* SAVER_SERVER = "OBK_ZSave";

// The name the saver gives the depth file of `frame` for the base name
// `base`; empty when it does not fit the saver's name buffer.
std::string depth_file_name(const std::string& base, int32_t frame);

// Throws zhost::Error when a depth file of one of `frames` would not fit
// the saver's name buffer under `staged_base`, the staging folder's name
// for the user's `base`.
void check_depth_file_names(const std::string& base, const std::string& staged_base, std::span<const int32_t> frames);

struct FilterSpec {
    FilterKind kind = FilterKind::PIXEL;
    std::string server;
    std::optional<host::SceneValues> settings;  // loaded into the new instance when present
    bool run_options = false;                   // run the options before the first frame
    OptionAnswers answers;
    std::string answers_key = "answers";        // where `answers` were given, for messages
};

// `name` as seen from where zhost runs when it is relative to `folder`
// (a scene's); an absolute or empty name as it is.
std::string name_in_folder(const std::filesystem::path& folder, const std::string& name);

// The depth saver with its file requester answered: depth files BASE0001.zb...
FilterSpec saver_spec(const std::string& base);

// The compositor with its panel answered: `depth_image` as "Z-Buffer" and
// `comp_image` as "Comp Image".
FilterSpec compositor_spec(const std::string& depth_image, const std::string& comp_image);

// Says on stderr that the compositor scales `image` (shown as `what`) to the
// frame, when their sizes differ; true when it did.
bool note_scaling(const std::string& what, const host::Image& image, const host::Frame& frame);

class RenderSession {
public:
    // Activates every filter and creates its instance, loading its settings.
    // Messages the servers show go to `log`, which must outlive the session.
    // Throws host::HostError for a server the module lacks or that refuses.
    RenderSession(const host::Module& module, const std::vector<FilterSpec>& filters, int threads,
                  host::MessageLog& log);
    ~RenderSession();
    RenderSession(const RenderSession&) = delete;
    RenderSession& operator=(const RenderSession&) = delete;

    // Renders one frame in place (the frame list lives meanwhile): `images` are the frame's images, offered as
    // the image list while the frame renders (their names are the names that
    // settings refer to). Options run before the first frame. Throws
    // zhost::Error with the first message or error text of a server, or for
    // an answer whose label no requester or panel shows (UsageError when it
    // was given to all).
    // With `outputs`, depth savers write into its staging folders and their
    // files are noted there for the frame's commit; their settings keep the
    // user's base name.
    void render(host::Frame& frame, std::vector<host::Image> images, StagedFiles* outputs = nullptr);

    // The settings of filter `index` as its server's save writes them, taken
    // after the last frame (or now, before any).
    host::SceneValues settings(std::size_t index) const;
    // The filter's own description, for pixel filters as of the last frame.
    std::string describe(std::size_t index) const;
    // The depth files that filter `index` wrote into `outputs`, by the names
    // they are committed under.
    const std::vector<std::string>& written(std::size_t index) const;

    // From now on, says on stderr when a pixel filter's settings name an
    // image of another size than the frame, which the compositor scales to
    // it: once for each image name.
    void note_scaled_images() { note_scaling_ = true; }

    // Depth savers' relative base names lie in `folder` (a scene's), not in
    // the working directory; their settings keep the names as given.
    void name_files_from(const std::filesystem::path& folder) { files_folder_ = folder; }

    struct Filter;

private:
    void note_scaled_images(const host::Frame& frame, const host::ImageList& images);
    std::set<std::string> run_options(Filter& filter, const host::ImageList& images);
    void run_all_options(const host::ImageList& images);
    void run_pixel_filters(host::Frame& frame);
    void run_image_filters(host::Frame& frame, StagedFiles* outputs);

    const host::Module& module_;
    int threads_;
    // With pixel filters: the list the module keeps from their activation
    // (frames nest their own lists in it) and the frame size they read.
    std::unique_ptr<host::ImageList> session_list_;
    std::unique_ptr<host::SceneInfo> scene_info_;
    host::MessageLog& log_;
    std::vector<std::unique_ptr<Filter>> filters_;
    bool options_done_ = false;
    bool note_scaling_ = false;
    std::set<std::string> noted_;  // image names already noted
    std::filesystem::path files_folder_;
};

}  // namespace zhost
