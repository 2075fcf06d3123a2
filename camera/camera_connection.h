#pragma once
// One camera opened through libgphoto2 for an import: its folders and files listed, files
// downloaded into an open file with progress and cancellation, and files deleted. A memory card
// is opened the same way, through the "Directory Browse" driver on its "disk:" port.
//
// One connection per camera at a time; its calls run one at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "camera/camera_list.h"
#include "platform/file_io.h"

namespace oakenmere::camera {

// The camera refused or failed; what() is one line for the user, naming libgphoto2's reason.
class CameraError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CameraFile {
    std::string folder;  // "/DCIM/100CANON", as the camera names it
    std::string name;
    std::optional<std::int64_t> size;      // where the camera tells it
    std::optional<std::int64_t> modified;  // seconds since 1970, where the camera tells it
    // The folder and name joined: "/DCIM/100CANON/IMG_0001.JPG".
    std::string path() const;
    bool operator==(const CameraFile&) const = default;
};

class CameraConnection {
public:
    // The camera of this model on this port. An empty port picks the one connected camera (of the
    // model, when given); a "disk:" port without a model is a memory card. Throws CameraError
    // when there is no such camera, more than one to choose from, or it cannot be opened.
    CameraConnection(const std::string& model, const std::string& port);
    ~CameraConnection();
    CameraConnection(const CameraConnection&) = delete;
    CameraConnection& operator=(const CameraConnection&) = delete;

    const DetectedCamera& camera() const noexcept { return camera_; }

    // Every file in every folder below the root, folders in the camera's order. A folder that
    // cannot be listed is CameraError; cancellation throws platform::CancellationError.
    std::vector<CameraFile> files(const std::stop_token& stop);
    // What the camera tells of one file now.
    CameraFile info(const std::string& folder, const std::string& name);
    // Writes the file's bytes into `into` as they arrive, calling `progress` with the bytes so
    // far. A camera failure, or fewer or more bytes than `file` was listed with, is CameraError; a
    // write failure is its own error, a stop (which also cancels the transfer) CancellationError.
    void download(const CameraFile& file, const platform::UniqueFd& into, const std::function<void(std::int64_t)>& progress,
                  const std::stop_token& stop);
    // Deletes the file from the camera.
    void remove(const CameraFile& file);

private:
    struct Handles;
    DetectedCamera camera_;
    std::unique_ptr<Handles> handles_;
};

}  // namespace oakenmere::camera
