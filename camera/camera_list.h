#pragma once
// The cameras an import can read from: those libgphoto2 detects on USB and serial ports, and
// mounted memory cards (a mount holding "DCIM"), which libgphoto2's "Directory Browse" driver
// reads through a "disk:" port like any camera.
#include <filesystem>
#include <string>
#include <vector>

namespace oakenmere::camera {

struct DetectedCamera {
    std::string model;  // as libgphoto2 names it; "Directory Browse" for a memory card
    std::string port;   // "usb:001,004", "disk:/media/ann/EOS_DIGITAL"
    std::string name;   // what a person knows it by: the model, or the card's volume name
    bool operator==(const DetectedCamera&) const = default;
};

inline constexpr const char* kDirectoryBrowse = "Directory Browse";

// What libgphoto2's autodetection finds, then the memory cards the mount table lists, each
// once. Throws std::runtime_error when libgphoto2 cannot look.
std::vector<DetectedCamera> detectedCameras();

// The mounts in the mountinfo-format file `table` whose mount point holds a "DCIM" folder.
std::vector<DetectedCamera> memoryCardsIn(const std::filesystem::path& table);

}  // namespace oakenmere::camera
