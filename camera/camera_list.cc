#include "camera/camera_list.h"

#include <algorithm>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-result.h>
#include <libmount/libmount.h>
#include <memory>
#include <stdexcept>

#include "platform/file_io.h"

namespace oakenmere::camera {

namespace {

struct ContextFree {
    void operator()(GPContext* context) const { gp_context_unref(context); }
};
struct ListFree {
    void operator()(CameraList* list) const { gp_list_free(list); }
};
struct TableFree {
    void operator()(libmnt_table* table) const { mnt_unref_table(table); }
};

void check(int result, const char* what) {
    if (result < GP_OK)
        throw std::runtime_error(std::string("Cameras can\u2019t be looked for (") + what + ": " + gp_result_as_string(result) + ").");
}

bool holdsCameraFolder(const std::filesystem::path& mountPoint) {
    try {
        const auto status = platform::lstatPath(mountPoint / "DCIM");
        return status && status->isDirectory();
    } catch (const std::system_error&) {
        return false;  // a mount we may not look into is no card of ours
    }
}

}  // namespace

std::vector<DetectedCamera> memoryCardsIn(const std::filesystem::path& table) {
    std::vector<DetectedCamera> cards;
    const std::unique_ptr<libmnt_table, TableFree> mounts(mnt_new_table_from_file(table.c_str()));
    if (!mounts) return cards;
    libmnt_iter* iterator = mnt_new_iter(MNT_ITER_FORWARD);
    if (!iterator) return cards;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(mounts.get(), iterator, &fs) == 0) {
        const char* target = mnt_fs_get_target(fs);
        if (!target || std::string_view(target) == "/" || !holdsCameraFolder(target)) continue;
        const std::filesystem::path mountPoint(target);
        cards.push_back({kDirectoryBrowse, "disk:" + mountPoint.string(), mountPoint.filename().string()});
    }
    mnt_free_iter(iterator);
    return cards;
}

std::vector<DetectedCamera> detectedCameras() {
    const std::unique_ptr<GPContext, ContextFree> context(gp_context_new());
    if (!context) throw std::runtime_error("Cameras can\u2019t be looked for (no libgphoto2 context).");
    CameraList* made = nullptr;
    check(gp_list_new(&made), "list");
    const std::unique_ptr<CameraList, ListFree> list(made);
    check(gp_camera_autodetect(list.get(), context.get()), "autodetect");
    std::vector<DetectedCamera> cameras;
    const int count = gp_list_count(list.get());
    for (int i = 0; i < count; ++i) {
        const char* model = nullptr;
        const char* port = nullptr;
        if (gp_list_get_name(list.get(), i, &model) < GP_OK || gp_list_get_value(list.get(), i, &port) < GP_OK || !model || !port) continue;
        cameras.push_back({model, port, model});
    }
    for (DetectedCamera& card : memoryCardsIn("/proc/self/mountinfo"))
        if (std::find(cameras.begin(), cameras.end(), card) == cameras.end()) cameras.push_back(std::move(card));
    return cameras;
}

}  // namespace oakenmere::camera
