// The library's identity and banner, and the protocol version handshake.
#include <iostream>
#include <utility>
#include <vector>

#include "MoorwinchFormat.h"
#include "MoorwinchImpl.h"
#include "MoorwinchReplyFields.h"

namespace KORVANE {
namespace {
const char* const libraryBuild = "44";
const char* const libraryProtocolVersion = "1.36";
}  // namespace

std::string Moorwinch::MoorwinchImpl::getLibBuild() { return libraryBuild; }
void Moorwinch::MoorwinchImpl::getLibBuild(std::string& build) { build = libraryBuild; }
std::string Moorwinch::MoorwinchImpl::getLibProtocolVersion() { return libraryProtocolVersion; }
void Moorwinch::MoorwinchImpl::getLibProtocolVersion(std::string& version) { version = libraryProtocolVersion; }

void Moorwinch::MoorwinchImpl::printVersionDetails() { printVersionDetails(std::cout); }

void Moorwinch::MoorwinchImpl::printVersionDetails(std::ostream& out) {
    std::ostringstream text;
    text << "#####################" << std::endl
         << "# Korvane Moorwinch #" << std::endl
         << "#####################" << std::endl
         << std::endl
         << "Korvane Skyhold.Platform Moorwinch Library" << std::endl
         << "Library build: " << libraryBuild << std::endl
         << "Communication protocol version: " << libraryProtocolVersion << std::endl;
    report::writeReport(out, text.str());
}

void Moorwinch::MoorwinchImpl::getDeviceProtocolVersion() {
    // The handshake runs inside openConnection, which callers do not overlap
    // with other operations, so it exchanges without the lock.
    unsigned short msgId = 0;
    Reply received = transfer(queryPayload(mw_command.get_protocol), 1, msgId);
    Reply reply = checked(std::move(received), msgId);
    if (!reply.parsed)
        raise<DataException>("getDeviceProtocolVersion", ": communication protocol information malformed",
                             errorKind::malformedReply);
    const nlohmann::json& document = reply.document;

    std::string version;
    if (document.is_object() && !document.empty()) {
        auto details = document.find(mw_objects[0]);
        if (details != document.end() && details->is_object()) {
            auto text = details->find(mw_sys_details.protocol_version.key);
            if (text != details->end() && text->is_string()) version = text->get<std::string>();
        }
    }
    if (version.empty())
        raise<DataException>("getDeviceProtocolVersion", ": unable to determine communication protocol version",
                             errorKind::malformedReply);

    deviceProtocolMajor = 0;
    deviceProtocolMinor = 0;
    deviceProtocolPatch = 0;
    int major = 0, minor = 0, patch = 0;
    processVersionString(version, major, minor, patch);  // may throw before anything is assigned
    deviceProtocolMajor = major;
    deviceProtocolMinor = minor;
    deviceProtocolPatch = patch;
}

// "2.1.7" gives 2, 1, 7; missing pieces stay 0 and pieces past the third are
// ignored. std::stoi's exceptions pass through.
void Moorwinch::MoorwinchImpl::processVersionString(std::string& version, int& major, int& minor, int& patch) {
    major = 0;
    minor = 0;
    patch = 0;
    std::vector<int> numbers;
    std::size_t dot;
    while ((dot = version.find('.')) != std::string::npos) {
        numbers.push_back(std::stoi(version.substr(0, dot)));
        version.erase(0, dot + 1);
    }
    if (!version.empty()) numbers.push_back(std::stoi(version));
    int* targets[] = {&major, &minor, &patch};
    for (std::size_t i = 0; i < numbers.size() && i < 3; ++i) *targets[i] = numbers[i];
}

}  // namespace KORVANE
