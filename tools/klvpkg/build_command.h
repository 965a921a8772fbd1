#pragma once
// `klvpkg build`: turns the command line's values into package contents.

#include <optional>
#include <string>
#include <vector>

#include "package/package_writer.h"

struct BuildRequest {
    std::string output;
    std::string image1;
    std::string image2;  // empty: none
    std::vector<std::string> models;
    std::vector<std::string> usbIds;
    std::vector<std::string> prefixes;
    std::string versionText;
    bool plain = false;
};

// Reads the images and parses the identifiers. Nothing, with `error` set, when a
// value is malformed or the format cannot carry it (*exitStatus: 64), or an image file
// cannot be read (66).
std::optional<klv::package::PackageContents> ContentsFromRequest(const BuildRequest& request,
                                                                 std::string& error,
                                                                 int* exitStatus = nullptr);

// "4B4C5632": exactly eight hex digits, the bytes in the order written.
std::optional<ModelId> ParseModelId(const std::string& text);
// "0ABC:1234": one to four hex digits on each side.
std::optional<UsbId> ParseUsbId(const std::string& text);
