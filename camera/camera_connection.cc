#include "camera/camera_connection.h"

#include <algorithm>
#include <gphoto2/gphoto2-abilities-list.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>
#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-port-info-list.h>
#include <gphoto2/gphoto2-result.h>

#include "platform/cancellation.h"
#include "platform/printable.h"

namespace oakenmere::camera {

namespace {

// A driver that keeps asking whether to cancel while nothing arrives has stopped: the "Directory
// Browse" driver reads a file that shrank after it was listed forever, getting nothing.
constexpr int kIdleChecksBeforeGivingUp = 100'000;

std::string curly(const std::string& text) { return "\u201C" + platform::printable(text) + "\u201D"; }

}  // namespace

std::string CameraFile::path() const { return (folder.ends_with("/") ? folder : folder + "/") + name; }

struct CameraConnection::Handles {
    GPContext* context = nullptr;
    CameraAbilitiesList* abilities = nullptr;
    GPPortInfoList* ports = nullptr;
    Camera* camera = nullptr;
    std::string lastError;  // what the driver last reported, for the message

    // The running transfer, as the cancel callback sees it.
    const std::stop_token* stop = nullptr;
    const std::int64_t* sent = nullptr;
    std::int64_t sentAtLastCheck = 0;
    int idleChecks = 0;

    ~Handles() {
        if (camera) {
            gp_camera_exit(camera, context);
            gp_camera_unref(camera);
        }
        if (ports) gp_port_info_list_free(ports);
        if (abilities) gp_abilities_list_free(abilities);
        if (context) gp_context_unref(context);
    }

    // Throws CameraError "<doing>: <reason>." for a libgphoto2 failure.
    void check(int result, const std::string& doing) {
        if (result >= GP_OK) return;
        if (result == GP_ERROR_CANCEL && stop && stop->stop_requested()) throw platform::CancellationError();
        std::string reason = gp_result_as_string(result);
        if (!lastError.empty()) reason += " (" + platform::printable(lastError) + ")";
        lastError.clear();
        throw CameraError(doing + ": " + reason + ".");
    }

    static void onError(GPContext*, const char* text, void* data) {
        if (text) static_cast<Handles*>(data)->lastError = text;
    }
    static GPContextFeedback onCancelCheck(GPContext*, void* data) {
        auto& self = *static_cast<Handles*>(data);
        if (self.stop && self.stop->stop_requested()) return GP_CONTEXT_FEEDBACK_CANCEL;
        if (!self.sent) return GP_CONTEXT_FEEDBACK_OK;
        self.idleChecks = *self.sent == self.sentAtLastCheck ? self.idleChecks + 1 : 0;
        self.sentAtLastCheck = *self.sent;
        return self.idleChecks < kIdleChecksBeforeGivingUp ? GP_CONTEXT_FEEDBACK_OK : GP_CONTEXT_FEEDBACK_CANCEL;
    }
};

namespace {

// The camera the model and port name, as the user gave them.
DetectedCamera chosen(const std::string& model, const std::string& port) {
    if (port.starts_with("disk:")) {
        const std::filesystem::path folder = port.substr(5);
        const auto status = platform::lstatPath(folder);
        if (!status || !status->isDirectory())
            throw CameraError("There is no folder at " + curly(folder.string()) + " to read as a memory card.");
        return {model.empty() ? kDirectoryBrowse : model, port, folder.filename().empty() ? folder.string() : folder.filename().string()};
    }
    std::vector<DetectedCamera> cameras = detectedCameras();
    std::erase_if(cameras,
                  [&](const DetectedCamera& c) { return (!model.empty() && c.model != model) || (!port.empty() && c.port != port); });
    if (cameras.size() == 1) return cameras.front();
    if (!port.empty() && !model.empty()) return {model, port, model};
    if (cameras.empty())
        throw CameraError(port.empty() ? std::string("No camera or memory card is connected; connect one, or name it with --port.")
                                       : "No camera was found on port " + curly(port) + "; name its model with --model.");
    throw CameraError(std::to_string(cameras.size()) +
                      " cameras are connected; pick one with --port (see \u201Coakenmere camera list\u201D).");
}

}  // namespace

CameraConnection::CameraConnection(const std::string& model, const std::string& port)
    : camera_(chosen(model, port)), handles_(std::make_unique<Handles>()) {
    Handles& h = *handles_;
    h.context = gp_context_new();
    if (!h.context) throw CameraError("The camera can\u2019t be opened: libgphoto2 has no context.");
    gp_context_set_error_func(h.context, Handles::onError, &h);
    gp_context_set_cancel_func(h.context, Handles::onCancelCheck, &h);
    const std::string opening = "The camera " + curly(camera_.name) + " can\u2019t be opened";
    h.check(gp_abilities_list_new(&h.abilities), opening);
    h.check(gp_abilities_list_load(h.abilities, h.context), opening);
    const int modelIndex = gp_abilities_list_lookup_model(h.abilities, camera_.model.c_str());
    if (modelIndex < GP_OK) throw CameraError("libgphoto2 knows no camera model " + curly(camera_.model) + ".");
    CameraAbilities abilities;
    h.check(gp_abilities_list_get_abilities(h.abilities, modelIndex, &abilities), opening);
    h.check(gp_port_info_list_new(&h.ports), opening);
    h.check(gp_port_info_list_load(h.ports), opening);
    const int portIndex = gp_port_info_list_lookup_path(h.ports, camera_.port.c_str());
    if (portIndex < GP_OK) throw CameraError("libgphoto2 knows no port " + curly(camera_.port) + ".");
    GPPortInfo portInfo;
    h.check(gp_port_info_list_get_info(h.ports, portIndex, &portInfo), opening);
    h.check(gp_camera_new(&h.camera), opening);
    h.check(gp_camera_set_abilities(h.camera, abilities), opening);
    h.check(gp_camera_set_port_info(h.camera, portInfo), opening);
    h.check(gp_camera_init(h.camera, h.context), opening);
}

CameraConnection::~CameraConnection() = default;

namespace {

struct ListFree {
    void operator()(CameraList* list) const { gp_list_free(list); }
};

std::vector<std::string> names(CameraList* list) {
    std::vector<std::string> found;
    for (int i = 0, count = gp_list_count(list); i < count; ++i) {
        const char* name = nullptr;
        if (gp_list_get_name(list, i, &name) >= GP_OK && name) found.emplace_back(name);
    }
    return found;
}

std::string joined(const std::string& folder, const std::string& name) { return (folder.ends_with("/") ? folder : folder + "/") + name; }

}  // namespace

std::vector<CameraFile> CameraConnection::files(const std::stop_token& stop) {
    Handles& h = *handles_;
    std::vector<CameraFile> found;
    std::vector<std::string> pending{"/"};
    while (!pending.empty()) {
        platform::throwIfCancelled(stop);
        const std::string folder = pending.back();
        pending.pop_back();
        const std::string listing = "The camera\u2019s folder " + curly(folder) + " can\u2019t be listed";
        CameraList* made = nullptr;
        h.check(gp_list_new(&made), listing);
        const std::unique_ptr<CameraList, ListFree> list(made);
        h.check(gp_camera_folder_list_files(h.camera, folder.c_str(), list.get(), h.context), listing);
        for (const std::string& name : names(list.get())) found.push_back(info(folder, name));
        gp_list_reset(list.get());
        h.check(gp_camera_folder_list_folders(h.camera, folder.c_str(), list.get(), h.context), listing);
        std::vector<std::string> folders = names(list.get());
        // Depth first, in the camera's order.
        for (auto sub = folders.rbegin(); sub != folders.rend(); ++sub) pending.push_back(joined(folder, *sub));
    }
    return found;
}

CameraFile CameraConnection::info(const std::string& folder, const std::string& name) {
    Handles& h = *handles_;
    CameraFileInfo info{};
    CameraFile file{folder, name, std::nullopt, std::nullopt};
    h.check(gp_camera_file_get_info(h.camera, folder.c_str(), name.c_str(), &info, h.context),
            "The camera can\u2019t tell about " + curly(file.path()));
    if (info.file.fields & GP_FILE_INFO_SIZE) file.size = static_cast<std::int64_t>(info.file.size);
    if (info.file.fields & GP_FILE_INFO_MTIME) file.modified = static_cast<std::int64_t>(info.file.mtime);
    return file;
}

namespace {

// Where the bytes of a transfer go, and the first failure to put them there.
struct Sink {
    const platform::UniqueFd* into;
    const std::function<void(std::int64_t)>* progress;
    std::int64_t sent = 0;
    std::exception_ptr error;

    static int size(void* data, std::uint64_t* size) {
        *size = static_cast<std::uint64_t>(static_cast<Sink*>(data)->sent);
        return GP_OK;
    }
    static int read(void*, unsigned char*, std::uint64_t*) { return GP_ERROR_NOT_SUPPORTED; }
    static int write(void* data, unsigned char* bytes, std::uint64_t* length) {
        auto& self = *static_cast<Sink*>(data);
        try {
            platform::writeAll(*self.into, platform::ByteView(bytes, static_cast<std::size_t>(*length)), "write the download");
            self.sent += static_cast<std::int64_t>(*length);
            if (*self.progress) (*self.progress)(self.sent);
            return GP_OK;
        } catch (...) {
            self.error = std::current_exception();
            return GP_ERROR_IO_WRITE;
        }
    }
};

struct FileFree {
    void operator()(::CameraFile* file) const { gp_file_unref(file); }
};

}  // namespace

void CameraConnection::download(const CameraFile& file, const platform::UniqueFd& into, const std::function<void(std::int64_t)>& progress,
                                const std::stop_token& stop) {
    Handles& h = *handles_;
    Sink sink{&into, &progress, 0, nullptr};
    h.stop = &stop;
    h.sent = &sink.sent;
    h.sentAtLastCheck = 0;
    h.idleChecks = 0;
    CameraFileHandler handler{Sink::size, Sink::read, Sink::write};
    ::CameraFile* made = nullptr;
    const std::string downloading = curly(file.path()) + " could not be downloaded";
    struct Reset {
        Handles& h;
        ~Reset() { h.stop = nullptr, h.sent = nullptr; }
    } reset{h};
    h.check(gp_file_new_from_handler(&made, &handler, &sink), downloading);
    const std::unique_ptr<::CameraFile, FileFree> target(made);
    const int result = gp_camera_file_get(h.camera, file.folder.c_str(), file.name.c_str(), GP_FILE_TYPE_NORMAL, target.get(), h.context);
    if (sink.error) std::rethrow_exception(sink.error);
    if (h.idleChecks >= kIdleChecksBeforeGivingUp)
        throw CameraError(downloading + ": the camera stopped sending after " + std::to_string(sink.sent) + " bytes.");
    h.check(result, downloading);
    platform::throwIfCancelled(stop);
    // A file that shrank after it was listed ends early (or stalls until given up, which the
    // driver may not count as a failure).
    if (file.size && sink.sent != *file.size)
        throw CameraError(downloading + ": the camera sent " + std::to_string(sink.sent) + " of its " + std::to_string(*file.size) +
                          " bytes.");
}

void CameraConnection::remove(const CameraFile& file) {
    Handles& h = *handles_;
    h.check(gp_camera_file_delete(h.camera, file.folder.c_str(), file.name.c_str(), h.context),
            curly(file.path()) + " could not be deleted from the camera");
}

}  // namespace oakenmere::camera
