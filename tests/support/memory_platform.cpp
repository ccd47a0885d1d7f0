#include "support/memory_platform.h"

#include <algorithm>
#include <cstring>

namespace veltomarn::testing {
namespace {

const Handle kStandardOutputHandle = reinterpret_cast<Handle>(0x10);
const Handle kStandardErrorHandle = reinterpret_cast<Handle>(0x14);
constexpr int kIdOk = 1;

bool IsBlank(WideChar c) {
    return c == u' ' || c == u'\t';
}

WideChar UpperAscii(WideChar c) {
    return c >= u'a' && c <= u'z' ? WideChar(c - 0x20) : c;
}

bool EqualIgnoringCase(const WideString& a, const WideString& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](WideChar x, WideChar y) { return UpperAscii(x) == UpperAscii(y); });
}

std::size_t Length(const WideChar* text, int count) {
    if (count >= 0) return static_cast<std::size_t>(count);
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// Copies `value` with its terminating null when it fits into `size` units and returns its length;
// otherwise returns the size it needs, null included, and leaves the buffer alone.
uint32_t CopyOut(const WideString& value, WideChar* buffer, uint32_t size) {
    const auto needed = static_cast<uint32_t>(value.size() + 1);
    if (buffer == nullptr || size < needed) return needed;
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = 0;
    return static_cast<uint32_t>(value.size());
}

// Quotes one argument so that SplitCommandLine gives it back unchanged.
WideString QuoteArgument(const WideString& argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\"") == WideString::npos) return argument;
    WideString quoted = u"\"";
    std::size_t backslashes = 0;
    for (const WideChar c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, u'\\');
    quoted.push_back(u'"');
    return quoted;
}

}  // namespace

std::vector<WideString> SplitCommandLine(const WideString& commandLine) {
    std::vector<WideString> arguments;
    std::size_t i = 0;
    // The program name: up to the closing quote, or up to the first blank; no escapes.
    WideString program;
    if (i < commandLine.size() && commandLine[i] == u'"') {
        ++i;
        while (i < commandLine.size() && commandLine[i] != u'"')
            program.push_back(commandLine[i++]);
        if (i < commandLine.size()) ++i;
    } else {
        while (i < commandLine.size() && !IsBlank(commandLine[i]))
            program.push_back(commandLine[i++]);
    }
    arguments.push_back(program);

    while (true) {
        while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
        if (i >= commandLine.size()) break;
        WideString argument;
        bool quoted = false;
        while (i < commandLine.size() && (quoted || !IsBlank(commandLine[i]))) {
            const WideChar c = commandLine[i];
            if (c == u'\\') {
                std::size_t backslashes = 0;
                while (i < commandLine.size() && commandLine[i] == u'\\') ++backslashes, ++i;
                if (i < commandLine.size() && commandLine[i] == u'"') {
                    argument.append(backslashes / 2, u'\\');
                    if (backslashes % 2 == 1) argument.push_back(commandLine[i++]);
                } else {
                    argument.append(backslashes, u'\\');
                }
            } else if (c == u'"') {
                ++i;
                if (quoted && i < commandLine.size() && commandLine[i] == u'"') {
                    argument.push_back(u'"');  // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
            } else {
                argument.push_back(c);
                ++i;
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

WideString ModelFullPath(const WideString& input, const WideString& currentDirectory) {
    if (input.rfind(u"\\\\?\\", 0) == 0) {
        // The prefix is kept; a drive path behind it is still normalised.
        const WideString rest = input.substr(4);
        const bool drivePath = rest.size() >= 3 && rest[1] == u':' && rest[2] == u'\\';
        return drivePath ? u"\\\\?\\" + ModelFullPath(rest, currentDirectory) : input;
    }
    WideString path = input;
    std::replace(path.begin(), path.end(), u'/', u'\\');

    WideString root;  // "C:" or "\\server\share"
    WideString rest;
    auto cwdRoot = [&]() { return currentDirectory.substr(0, 2); };
    if (path.rfind(u"\\\\", 0) == 0) {
        const std::size_t server = path.find(u'\\', 2);
        const std::size_t share =
            server == WideString::npos ? server : path.find(u'\\', server + 1);
        root = path.substr(0, share);
        rest = share == WideString::npos ? WideString() : path.substr(share + 1);
    } else if (path.size() >= 2 && path[1] == u':') {
        root = path.substr(0, 2);
        if (path.size() >= 3 && path[2] == u'\\') {
            rest = path.substr(3);
        } else if (EqualIgnoringCase(root, cwdRoot())) {
            rest = currentDirectory.substr(3) + u"\\" + path.substr(2);
        } else {
            rest = path.substr(2);
        }
    } else if (!path.empty() && path[0] == u'\\') {
        root = cwdRoot();
        rest = path.substr(1);
    } else {
        root = cwdRoot();
        rest = currentDirectory.substr(3) + u"\\" + path;
    }

    std::vector<WideString> parts;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find(u'\\', start);
        if (end == WideString::npos) end = rest.size();
        WideString part = rest.substr(start, end - start);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            // Windows drops trailing dots and spaces of a component.
            while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
            if (!part.empty()) parts.push_back(part);
        }
        start = end + 1;
    }
    WideString result = root + u"\\";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k != 0) result += u"\\";
        result += parts[k];
    }
    const bool trailingSeparator = !path.empty() && path.back() == u'\\' && !parts.empty();
    if (trailingSeparator) result += u"\\";
    return result;
}

MemoryPlatform::MemoryPlatform() = default;
MemoryPlatform::~MemoryPlatform() = default;

void MemoryPlatform::SetArguments(const std::vector<WideString>& arguments) {
    WideString line = u"\"" + process.modulePath + u"\"";
    for (const WideString& argument : arguments) line += u" " + QuoteArgument(argument);
    process.commandLine = line;
}

void MemoryPlatform::FailCall(const std::string& name, uint32_t error, int nth) {
    faults_.emplace(name, Fault{nth - 1, error, nullptr});
}

void MemoryPlatform::ThrowFromCall(const std::string& name, std::function<void()> thrower,
                                   int nth) {
    faults_.emplace(name, Fault{nth - 1, 0, std::move(thrower)});
}

int MemoryPlatform::CallCount(const std::string& name) const {
    const auto it = calls_.find(name);
    return it == calls_.end() ? 0 : it->second;
}

bool MemoryPlatform::Injected(const std::string& name) {
    ++calls_[name];
    const auto [first, last] = faults_.equal_range(name);
    for (auto it = first; it != last; ++it) {
        if (it->second.remaining-- > 0) continue;
        const Fault fault = it->second;
        faults_.erase(it);
        if (fault.thrower) fault.thrower();
        lastError_ = fault.error;
        return true;
    }
    return false;
}

std::string MemoryPlatform::StandardOutput() const {
    std::string out;
    for (const Event& e : events_) {
        if (e.kind == Event::Kind::StandardOutput) out += e.bytes;
    }
    return out;
}

std::string MemoryPlatform::StandardError() const {
    std::string out;
    for (const Event& e : events_) {
        if (e.kind == Event::Kind::StandardError) out += e.bytes;
    }
    return out;
}

int MemoryPlatform::MessageBoxCount() const {
    return static_cast<int>(std::count_if(events_.begin(), events_.end(), [](const Event& e) {
        return e.kind == Event::Kind::MessageBox;
    }));
}

bool MemoryPlatform::SetDefaultDllDirectories(uint32_t flags) {
    if (Injected("SetDefaultDllDirectories")) return false;
    if (flags == 0) {
        lastError_ = win::kErrorInvalidParameter;
        return false;
    }
    defaultDllDirectories_ = flags;
    return true;
}

bool MemoryPlatform::SetDllDirectoryW(const WideChar* path) {
    if (Injected("SetDllDirectoryW")) return false;
    dllDirectoryCleared_ = path != nullptr && path[0] == 0;
    return true;
}

bool MemoryPlatform::SetCurrentDirectoryW(const WideChar* path) {
    if (Injected("SetCurrentDirectoryW")) return false;
    const WideString full = ModelFullPath(path, process.currentDirectory);
    const bool exists =
        EqualIgnoringCase(full, process.systemDirectory) ||
        std::any_of(process.existingDirectories.begin(), process.existingDirectories.end(),
                    [&](const WideString& d) { return EqualIgnoringCase(full, d); });
    if (!exists) {
        lastError_ = win::kErrorFileNotFound;
        return false;
    }
    process.currentDirectory = full;
    return true;
}

const WideChar* MemoryPlatform::GetCommandLineW() {
    ++calls_["GetCommandLineW"];
    return process.commandLine.c_str();
}

WideChar** MemoryPlatform::CommandLineToArgvW(const WideChar* commandLine, int* count) {
    if (Injected("CommandLineToArgvW")) return nullptr;
    std::vector<WideString> arguments = SplitCommandLine(commandLine);
    if (commandLine[0] == 0) arguments = {process.modulePath};
    // One block, as Windows hands it out: the pointer array, then the strings.
    std::size_t bytes = sizeof(WideChar*) * (arguments.size() + 1);
    for (const WideString& a : arguments) bytes += sizeof(WideChar) * (a.size() + 1);
    auto block = std::make_unique<char[]>(bytes);
    auto** pointers = reinterpret_cast<WideChar**>(block.get());
    auto* text = reinterpret_cast<WideChar*>(pointers + arguments.size() + 1);
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        pointers[k] = text;
        text = std::copy(arguments[k].begin(), arguments[k].end(), text);
        *text++ = 0;
    }
    pointers[arguments.size()] = nullptr;
    *count = static_cast<int>(arguments.size());
    localBlocks_.push_back(std::move(block));
    return pointers;
}

void* MemoryPlatform::LocalFree(void* memory) {
    ++calls_["LocalFree"];
    const auto it = std::find_if(localBlocks_.begin(), localBlocks_.end(),
                                 [&](const auto& b) { return b.get() == memory; });
    if (it == localBlocks_.end()) {
        lastError_ = win::kErrorInvalidHandle;
        return memory;
    }
    localBlocks_.erase(it);
    return nullptr;
}

uint32_t MemoryPlatform::GetModuleFileNameW(void* module, WideChar* buffer, uint32_t size) {
    if (Injected("GetModuleFileNameW")) return 0;
    if (module != nullptr) {
        lastError_ = win::kErrorInvalidHandle;
        return 0;
    }
    const WideString& path = process.modulePath;
    if (size == 0) {
        lastError_ = win::kErrorInsufficientBuffer;
        return 0;
    }
    if (path.size() >= size) {  // truncated to size - 1 units and a null, as Windows does
        std::copy(path.begin(), path.begin() + (size - 1), buffer);
        buffer[size - 1] = 0;
        lastError_ = win::kErrorInsufficientBuffer;
        return size;
    }
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = 0;
    lastError_ = win::kErrorSuccess;
    return static_cast<uint32_t>(path.size());
}

uint32_t MemoryPlatform::GetFullPathNameW(const WideChar* path, uint32_t size, WideChar* buffer,
                                          WideChar** filePart) {
    if (Injected("GetFullPathNameW")) return 0;
    if (path == nullptr || path[0] == 0) {
        lastError_ = win::kErrorInvalidParameter;
        return 0;
    }
    const WideString full = ModelFullPath(path, process.currentDirectory);
    const uint32_t result = CopyOut(full, buffer, size);
    if (filePart != nullptr && result == full.size()) {
        const std::size_t slash = full.rfind(u'\\');
        *filePart = slash + 1 < full.size() ? buffer + slash + 1 : nullptr;
    }
    return result;
}

uint32_t MemoryPlatform::GetSystemDirectoryW(WideChar* buffer, uint32_t size) {
    if (Injected("GetSystemDirectoryW")) return 0;
    return CopyOut(process.systemDirectory, buffer, size);
}

uint32_t MemoryPlatform::GetWindowsDirectoryW(WideChar* buffer, uint32_t size) {
    if (Injected("GetWindowsDirectoryW")) return 0;
    return CopyOut(process.windowsDirectory, buffer, size);
}

uint64_t MemoryPlatform::GetTickCount64() {
    ++calls_["GetTickCount64"];
    return tickCount;
}

int MemoryPlatform::CompareStringOrdinal(const WideChar* a, int countA, const WideChar* b,
                                         int countB, bool ignoreCase) {
    if (Injected("CompareStringOrdinal")) return 0;
    if (a == nullptr || b == nullptr) {
        lastError_ = win::kErrorInvalidParameter;
        return 0;
    }
    const std::size_t lengthA = Length(a, countA);
    const std::size_t lengthB = Length(b, countB);
    for (std::size_t k = 0; k < std::min(lengthA, lengthB); ++k) {
        const WideChar x = ignoreCase ? UpperAscii(a[k]) : a[k];
        const WideChar y = ignoreCase ? UpperAscii(b[k]) : b[k];
        if (x != y) return x < y ? win::kCstrLessThan : win::kCstrGreaterThan;
    }
    if (lengthA == lengthB) return win::kCstrEqual;
    return lengthA < lengthB ? win::kCstrLessThan : win::kCstrGreaterThan;
}

Handle MemoryPlatform::GetStdHandle(uint32_t which) {
    if (Injected("GetStdHandle")) return kInvalidHandle;
    if (which == win::kStdOutputHandle)
        return process.hasStandardOutput ? kStandardOutputHandle : nullptr;
    if (which == win::kStdErrorHandle)
        return process.hasStandardError ? kStandardErrorHandle : nullptr;
    lastError_ = win::kErrorInvalidHandle;
    return kInvalidHandle;
}

bool MemoryPlatform::WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) {
    *written = 0;
    if (Injected("WriteFile")) return false;
    Event::Kind kind;
    if (file == kStandardOutputHandle && process.hasStandardOutput) {
        kind = Event::Kind::StandardOutput;
    } else if (file == kStandardErrorHandle && process.hasStandardError) {
        kind = Event::Kind::StandardError;
    } else {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    events_.push_back(Event{kind, std::string(static_cast<const char*>(data), size), {}, {}, 0});
    *written = size;
    return true;
}

bool MemoryPlatform::CloseHandle(Handle handle) {
    if (Injected("CloseHandle")) return false;
    (void)handle;
    lastError_ = win::kErrorInvalidHandle;
    return false;
}

int MemoryPlatform::MessageBoxW(void* owner, const WideChar* text, const WideChar* caption,
                                uint32_t style) {
    if (Injected("MessageBoxW")) return 0;
    (void)owner;
    events_.push_back(Event{Event::Kind::MessageBox, {}, text, caption, style});
    return kIdOk;
}

}  // namespace veltomarn::testing
