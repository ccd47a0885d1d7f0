#include "release/tool_error.h"

#include <csignal>
#include <cstring>

#include "release/path_text.h"

namespace veltomarn::release {
namespace {

volatile sig_atomic_t interruption = 0;

extern "C" void RecordInterruption(int signal) {
    interruption = signal;
}

}  // namespace

void Problems::Add(const std::string& relative, const std::string& why) {
    lines_.push_back(ShowPath(JoinPath(root_, relative)) + ": " + why);
}

void Problems::RefuseIfAny() const {
    if (lines_.empty()) return;
    std::string text = lines_.front();
    if (lines_.size() > 1) {
        text = std::to_string(lines_.size()) + " problems; nothing was written";
        for (const std::string& line : lines_) text += "\n  " + line;
    }
    Refuse(text);
}

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = RecordInterruption;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ThrowIfInterrupted() {
    const int signal = interruption;
    if (signal == 0) return;
    throw ToolError(128 + signal, std::string("interrupted by ") +
                                      (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                                      "; what this run made is removed again");
}

void Refuse(const std::string& message) {
    throw ToolError(kExitUsageOrIo, message);
}

void RefuseSystem(const std::string& what, const std::string& path, int error) {
    Refuse(ShowPath(path) + ": " + what + ": " + std::strerror(error));
}

}  // namespace veltomarn::release
