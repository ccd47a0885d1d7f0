#include "support/memory_platform.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace veltomarn::testing {
namespace {

const Handle kStandardOutputHandle = reinterpret_cast<Handle>(0x10);
const Handle kStandardErrorHandle = reinterpret_cast<Handle>(0x14);
constexpr int kIdOk = 1;

constexpr uint32_t kFileTypeUnknown = 0;
constexpr uint32_t kFileTypeChar = 2;
constexpr uint32_t kFileCurrent = 1;
constexpr uint32_t kFileEnd = 2;

constexpr NtStatus kStatusUnsuccessful = cng::kStatusUnsuccessful;

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
    faults_.emplace(name, Fault{nth - 1, Fault::Kind::Error, error, 0, nullptr});
}

void MemoryPlatform::FailStatus(const std::string& name, NtStatus status, int nth) {
    faults_.emplace(name, Fault{nth - 1, Fault::Kind::Status, 0, status, nullptr});
}

void MemoryPlatform::ThrowFromCall(const std::string& name, std::function<void()> thrower,
                                   int nth) {
    faults_.emplace(name, Fault{nth - 1, Fault::Kind::Throw, 0, 0, std::move(thrower)});
}

void MemoryPlatform::OnCall(const std::string& name, std::function<void()> action, int nth) {
    actions_.emplace(name, Action{nth - 1, std::move(action)});
}

void MemoryPlatform::ShortWrite(int nth, uint32_t bytes) {
    faults_.emplace("WriteFile", Fault{nth - 1, Fault::Kind::ShortWrite, bytes, 0, nullptr});
}

int MemoryPlatform::CallCount(const std::string& name) const {
    const auto it = calls_.find(name);
    return it == calls_.end() ? 0 : it->second;
}

MemoryPlatform::Injection MemoryPlatform::Inject(const std::string& name) {
    ++calls_[name];
    std::vector<std::function<void()>> due;
    const auto [firstAction, lastAction] = actions_.equal_range(name);
    for (auto it = firstAction; it != lastAction;) {
        if (it->second.remaining-- > 0) {
            ++it;
            continue;
        }
        due.push_back(std::move(it->second.action));
        it = actions_.erase(it);
    }
    for (const auto& action : due) {
        const uint32_t lastError = lastError_;
        action();
        lastError_ = lastError;
    }

    Injection injection;
    const auto [first, last] = faults_.equal_range(name);
    for (auto it = first; it != last; ++it) {
        if (it->second.remaining-- > 0) continue;
        const Fault fault = it->second;
        faults_.erase(it);
        switch (fault.kind) {
            case Fault::Kind::Throw:
                fault.thrower();
                break;
            case Fault::Kind::Error:
                lastError_ = fault.error;
                injection.fail = true;
                injection.status = kStatusUnsuccessful;
                break;
            case Fault::Kind::Status:
                injection.fail = true;
                injection.status = fault.status;
                break;
            case Fault::Kind::ShortWrite:
                injection.shortWrite = fault.error;
                break;
        }
        break;
    }
    return injection;
}

bool MemoryPlatform::Injected(const std::string& name) {
    return Inject(name).fail;
}

bool MemoryPlatform::InjectedStatus(const std::string& name, NtStatus* status) {
    const Injection injection = Inject(name);
    *status = injection.status;
    return injection.fail;
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
    const FsLocation location = files_.Locate(full, true, process.currentDirectory);
    if (!exists && !(location.error == 0 && location.node && location.node->IsDirectoryObject())) {
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
    const Injection injection = Inject("WriteFile");
    if (injection.fail) return false;
    const uint32_t count = injection.shortWrite >= 0
                               ? std::min(size, static_cast<uint32_t>(injection.shortWrite))
                               : size;
    if (OpenHandle* open = FindHandle(file, OpenHandle::Kind::File)) {
        const FsOpen* fsOpen = files_.FindOpen(open->openId);
        FsNode& node = *fsOpen->node;
        if (node.IsDirectoryObject()) {
            lastError_ = model::kErrorInvalidFunction;
            return false;
        }
        if (!GrantsWriteData(open->access)) {
            lastError_ = win::kErrorAccessDenied;
            return false;
        }
        if (data == nullptr && count != 0) {
            lastError_ = model::kErrorNoAccess;
            return false;
        }
        if (AppendsOnly(open->access)) open->position = static_cast<int64_t>(node.bytes.size());
        const auto position = static_cast<std::size_t>(open->position);
        if (node.bytes.size() < position + count) node.bytes.resize(position + count, '\0');
        if (count != 0) std::memcpy(node.bytes.data() + position, data, count);
        open->position += count;
        files_.Touch(node);
        *written = count;
        return true;
    }
    Event::Kind kind;
    if (file == kStandardOutputHandle && process.hasStandardOutput) {
        kind = Event::Kind::StandardOutput;
    } else if (file == kStandardErrorHandle && process.hasStandardError) {
        kind = Event::Kind::StandardError;
    } else {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    events_.push_back(Event{kind, std::string(static_cast<const char*>(data), count), {}, {}, 0});
    *written = count;
    return true;
}

bool MemoryPlatform::CloseHandle(Handle handle) {
    if (Injected("CloseHandle")) return false;
    if (const OpenHandle* open = FindHandle(handle, OpenHandle::Kind::File)) {
        files_.RemoveOpen(open->openId);
        handles_.erase(handle);
        return true;
    }
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

// --- files: set-up, observers, another process ---------------------------------------------------

void MemoryPlatform::AddVolume(WideChar letter, uint32_t serialNumber) {
    files_.AddVolume(letter, serialNumber);
}
void MemoryPlatform::AddDirectory(const WideString& path) {
    files_.AddDirectory(path);
}
void MemoryPlatform::AddFile(const WideString& path, std::string bytes) {
    files_.AddFile(path, std::move(bytes));
}
void MemoryPlatform::AddHardLink(const WideString& path, const WideString& existingPath) {
    files_.AddHardLink(path, existingPath);
}
void MemoryPlatform::AddSymbolicLink(const WideString& path, const WideString& target,
                                     bool directory) {
    files_.AddSymbolicLink(path, target, directory);
}
void MemoryPlatform::AddJunction(const WideString& path, const WideString& target) {
    files_.AddJunction(path, target);
}
void MemoryPlatform::AddStream(const WideString& path, const WideString& streamName,
                               std::string bytes) {
    files_.AddStream(path, streamName, std::move(bytes));
}
void MemoryPlatform::SetAttributes(const WideString& path, uint32_t attributes) {
    files_.SetAttributes(path, attributes);
}
void MemoryPlatform::RemoveEntry(const WideString& path) {
    files_.RemoveEntry(path);
}
void MemoryPlatform::SetListingOrder(const WideString& directory, std::vector<WideString> names) {
    files_.SetListingOrder(directory, std::move(names));
}
bool MemoryPlatform::Exists(const WideString& path) const {
    return files_.Exists(path);
}
std::string MemoryPlatform::FileBytes(const WideString& path) const {
    return files_.FileBytes(path);
}

std::vector<WideString> MemoryPlatform::OpenHandlePaths() const {
    // Handle values grow with every open, so map order is opening order.
    std::vector<WideString> paths;
    for (const auto& [handle, open] : handles_) paths.push_back(open.path);
    return paths;
}

bool MemoryPlatform::ForeignOpen(const WideString& path, uint32_t access, uint32_t share) {
    const FsOpenResult result =
        files_.Open(path, access, share, win::kOpenExisting, win::kFileFlagBackupSemantics, true,
                    process.currentDirectory);
    lastError_ = result.error;
    return result.error == 0;
}

void MemoryPlatform::ForeignCloseAll() {
    files_.RemoveForeignOpens();
}

bool MemoryPlatform::ForeignDelete(const WideString& path) {
    lastError_ = files_.Delete(path, process.currentDirectory);
    return lastError_ == 0;
}

bool MemoryPlatform::ForeignRename(const WideString& from, const WideString& to) {
    lastError_ = files_.Rename(from, to, process.currentDirectory);
    return lastError_ == 0;
}

// --- files: calls --------------------------------------------------------------------------------

Handle MemoryPlatform::AddHandle(OpenHandle handle) {
    const Handle value = reinterpret_cast<Handle>(nextHandle_);
    nextHandle_ += 4;
    handles_.emplace(value, std::move(handle));
    return value;
}

MemoryPlatform::OpenHandle* MemoryPlatform::FindHandle(Handle handle, OpenHandle::Kind kind) {
    const auto it = handles_.find(handle);
    return it != handles_.end() && it->second.kind == kind ? &it->second : nullptr;
}

Handle MemoryPlatform::CreateFileW(const WideChar* path, uint32_t desiredAccess, uint32_t shareMode,
                                   void* securityAttributes, uint32_t creationDisposition,
                                   uint32_t flagsAndAttributes, Handle templateFile) {
    if (Injected("CreateFileW")) return kInvalidHandle;
    (void)securityAttributes;
    (void)templateFile;
    if (path == nullptr) {
        lastError_ = win::kErrorPathNotFound;
        return kInvalidHandle;
    }
    const FsOpenResult result = files_.Open(path, desiredAccess, shareMode, creationDisposition,
                                            flagsAndAttributes, false, process.currentDirectory);
    if (result.error != 0) {
        lastError_ = result.error;
        return kInvalidHandle;
    }
    OpenHandle open;
    open.kind = OpenHandle::Kind::File;
    open.path = path;
    open.openId = result.openId;
    open.access = desiredAccess;
    lastError_ = result.successError;
    return AddHandle(std::move(open));
}

bool MemoryPlatform::ReadFile(Handle file, void* buffer, uint32_t size, uint32_t* read) {
    if (read != nullptr) *read = 0;
    if (Injected("ReadFile")) return false;
    OpenHandle* open = FindHandle(file, OpenHandle::Kind::File);
    if (open == nullptr) {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    const FsNode& node = *files_.FindOpen(open->openId)->node;
    if (node.IsDirectoryObject()) {
        lastError_ = model::kErrorInvalidFunction;
        return false;
    }
    if (!GrantsReadData(open->access)) {
        lastError_ = win::kErrorAccessDenied;
        return false;
    }
    if (buffer == nullptr && size != 0) {
        lastError_ = model::kErrorNoAccess;
        return false;
    }
    const uint64_t length = node.bytes.size();
    const auto position = static_cast<uint64_t>(open->position);
    const auto count = position >= length
                           ? uint32_t{0}
                           : static_cast<uint32_t>(std::min<uint64_t>(size, length - position));
    if (count != 0) std::memcpy(buffer, node.bytes.data() + position, count);
    open->position += count;
    if (read != nullptr) *read = count;
    return true;
}

bool MemoryPlatform::SetFilePointerEx(Handle file, int64_t distance, int64_t* newPosition,
                                      uint32_t moveMethod) {
    if (Injected("SetFilePointerEx")) return false;
    OpenHandle* open = FindHandle(file, OpenHandle::Kind::File);
    if (open == nullptr) {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    const FsNode& node = *files_.FindOpen(open->openId)->node;
    int64_t base = 0;
    if (moveMethod == kFileCurrent) {
        base = open->position;
    } else if (moveMethod == kFileEnd) {
        base = node.kind == NodeKind::File ? static_cast<int64_t>(node.bytes.size()) : 0;
    } else if (moveMethod != win::kFileBegin) {
        lastError_ = win::kErrorInvalidParameter;
        return false;
    }
    if (distance > 0 && base > std::numeric_limits<int64_t>::max() - distance) {
        lastError_ = win::kErrorInvalidParameter;
        return false;
    }
    if (base + distance < 0) {
        lastError_ = model::kErrorNegativeSeek;
        return false;
    }
    open->position = base + distance;
    if (newPosition != nullptr) *newPosition = open->position;
    return true;
}

bool MemoryPlatform::GetFileInformationByHandle(Handle file, FileInformation* information) {
    if (Injected("GetFileInformationByHandle")) return false;
    const OpenHandle* open = FindHandle(file, OpenHandle::Kind::File);
    if (open == nullptr) {
        const bool standard = (file == kStandardOutputHandle && process.hasStandardOutput) ||
                              (file == kStandardErrorHandle && process.hasStandardError);
        lastError_ = standard ? model::kErrorInvalidFunction : win::kErrorInvalidHandle;
        return false;
    }
    const FsNode& node = *files_.FindOpen(open->openId)->node;
    const uint64_t size = node.kind == NodeKind::File ? node.bytes.size() : 0;
    FileInformation result;
    result.attributes = node.Attributes();
    result.creationTime = node.creationTime;
    result.lastAccessTime = node.lastAccessTime;
    result.lastWriteTime = node.lastWriteTime;
    result.volumeSerialNumber = node.volumeSerial;
    result.sizeHigh = static_cast<uint32_t>(size >> 32);
    result.sizeLow = static_cast<uint32_t>(size);
    result.numberOfLinks = node.IsDirectoryObject() ? 1 : node.names;
    result.indexHigh = static_cast<uint32_t>(node.index >> 32);
    result.indexLow = static_cast<uint32_t>(node.index);
    *information = result;
    return true;
}

uint32_t MemoryPlatform::GetFileType(Handle file) {
    if (Injected("GetFileType")) return kFileTypeUnknown;
    if (FindHandle(file, OpenHandle::Kind::File) != nullptr) return win::kFileTypeDisk;
    if ((file == kStandardOutputHandle && process.hasStandardOutput) ||
        (file == kStandardErrorHandle && process.hasStandardError)) {
        return kFileTypeChar;
    }
    lastError_ = win::kErrorInvalidHandle;
    return kFileTypeUnknown;
}

bool MemoryPlatform::NextFileEntry(OpenHandle& search, FindData* data) {
    const FsNodePtr directory = files_.FindOpen(search.openId)->node;
    while (search.dotsLeft > 0) {
        const bool self = search.dotsLeft-- == 2;
        const WideString name = self ? u"." : u"..";
        if (!MatchesMask(name, search.mask)) continue;
        const FsNodePtr node = self ? directory : MemoryFileSystem::ParentOf(directory);
        *data = FindData{node->Attributes(), 0, 0, name};
        return true;
    }
    // The listing is live: what was added since the search began is found, what was removed is
    // not, and nothing is reported twice.
    for (const FsEntry* entry : MemoryFileSystem::ListingOf(*directory)) {
        if (!MatchesMask(entry->name, search.mask)) continue;
        const auto& seen = search.returnedNames;
        if (std::any_of(seen.begin(), seen.end(),
                        [&](const WideString& name) { return SameName(name, entry->name); })) {
            continue;
        }
        search.returnedNames.push_back(entry->name);
        const FsNode& node = *entry->node;
        const uint64_t size = node.kind == NodeKind::File ? node.bytes.size() : 0;
        *data = FindData{node.Attributes(), static_cast<uint32_t>(size >> 32),
                         static_cast<uint32_t>(size), entry->name};
        return true;
    }
    return false;
}

Handle MemoryPlatform::FindFirstFileW(const WideChar* pattern, FindData* data) {
    if (Injected("FindFirstFileW")) return kInvalidHandle;
    if (pattern == nullptr) {
        lastError_ = win::kErrorPathNotFound;
        return kInvalidHandle;
    }
    const WideString text = pattern;
    const std::size_t slash = text.rfind(u'\\');
    WideString directory =
        slash == WideString::npos ? process.currentDirectory : text.substr(0, slash);
    const WideString mask = slash == WideString::npos ? text : text.substr(slash + 1);
    if (!directory.empty() && directory.back() == u':') directory.push_back(u'\\');  // a root
    if (mask.empty()) {
        lastError_ = win::kErrorFileNotFound;
        return kInvalidHandle;
    }
    const FsLocation location = files_.Locate(directory, true, process.currentDirectory);
    if (location.error != 0 || !location.node) {
        lastError_ = location.error == 0 || location.error == win::kErrorFileNotFound
                         ? win::kErrorPathNotFound
                         : location.error;
        return kInvalidHandle;
    }
    if (location.node->kind != NodeKind::Directory) {
        lastError_ = model::kErrorDirectory;
        return kInvalidHandle;
    }
    // The search opens the directory for listing, sharing everything.
    constexpr uint32_t kShareAll =
        win::kFileShareRead | win::kFileShareWrite | win::kFileShareDelete;
    if (!files_.AdmitsOpen(*location.node, win::kFileListDirectory, kShareAll)) {
        lastError_ = win::kErrorSharingViolation;
        return kInvalidHandle;
    }
    OpenHandle search;
    search.kind = OpenHandle::Kind::FileSearch;
    search.path = text;
    search.mask = mask;
    search.dotsLeft = location.node->root ? 0 : 2;
    search.openId = files_.AddOpen(location.node, win::kFileListDirectory, kShareAll, false);
    if (!NextFileEntry(search, data)) {
        files_.RemoveOpen(search.openId);
        lastError_ = win::kErrorFileNotFound;
        return kInvalidHandle;
    }
    return AddHandle(std::move(search));
}

bool MemoryPlatform::FindNextFileW(Handle search, FindData* data) {
    if (Injected("FindNextFileW")) return false;
    OpenHandle* open = FindHandle(search, OpenHandle::Kind::FileSearch);
    if (open == nullptr) {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    if (!NextFileEntry(*open, data)) {
        lastError_ = win::kErrorNoMoreFiles;
        return false;
    }
    return true;
}

Handle MemoryPlatform::FindFirstStreamW(const WideChar* path, uint32_t infoLevel, StreamData* data,
                                        uint32_t flags) {
    if (Injected("FindFirstStreamW")) return kInvalidHandle;
    if (path == nullptr || infoLevel != win::kFindStreamInfoStandard || flags != 0) {
        lastError_ = win::kErrorInvalidParameter;
        return kInvalidHandle;
    }
    const FsLocation location = files_.Locate(path, true, process.currentDirectory);
    if (location.error != 0 || !location.node) {
        lastError_ = location.error != 0 ? location.error : win::kErrorFileNotFound;
        return kInvalidHandle;
    }
    // The streams are read at once; later changes do not show in this enumeration.
    OpenHandle search;
    search.kind = OpenHandle::Kind::StreamSearch;
    search.path = path;
    const FsNode& node = *location.node;
    if (node.kind == NodeKind::File) {
        search.streams.push_back(StreamData{static_cast<int64_t>(node.bytes.size()), u"::$DATA"});
    }
    for (const FsStream& stream : node.streams) {
        search.streams.push_back(
            StreamData{static_cast<int64_t>(stream.bytes.size()), stream.name});
    }
    if (search.streams.empty()) {
        lastError_ = win::kErrorHandleEof;
        return kInvalidHandle;
    }
    *data = search.streams.front();
    search.nextStream = 1;
    return AddHandle(std::move(search));
}

bool MemoryPlatform::FindNextStreamW(Handle search, StreamData* data) {
    if (Injected("FindNextStreamW")) return false;
    OpenHandle* open = FindHandle(search, OpenHandle::Kind::StreamSearch);
    if (open == nullptr) {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    if (open->nextStream >= open->streams.size()) {
        lastError_ = win::kErrorHandleEof;
        return false;
    }
    *data = open->streams[open->nextStream++];
    return true;
}

bool MemoryPlatform::FindClose(Handle search) {
    if (Injected("FindClose")) return false;
    const auto it = handles_.find(search);
    if (it == handles_.end() || it->second.kind == OpenHandle::Kind::File) {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    if (it->second.kind == OpenHandle::Kind::FileSearch) files_.RemoveOpen(it->second.openId);
    handles_.erase(it);
    return true;
}

// --- CNG: OpenSSL underneath (platform/openssl), faults and the object log here ---------------

std::size_t MemoryPlatform::LiveCngObjects() const {
    return cng_.LiveObjects();
}

NtStatus MemoryPlatform::BCryptOpenAlgorithmProvider(CngHandle* algorithm,
                                                     const WideChar* algorithmId,
                                                     const WideChar* implementation,
                                                     uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptOpenAlgorithmProvider", &status)) return status;
    status = cng_.BCryptOpenAlgorithmProvider(algorithm, algorithmId, implementation, flags);
    if (status >= 0) cngEvents_.push_back("OpenAlgorithmProvider");
    return status;
}

NtStatus MemoryPlatform::BCryptCloseAlgorithmProvider(CngHandle algorithm, uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptCloseAlgorithmProvider", &status)) return status;
    status = cng_.BCryptCloseAlgorithmProvider(algorithm, flags);
    if (status >= 0) cngEvents_.push_back("CloseAlgorithmProvider");
    return status;
}

NtStatus MemoryPlatform::BCryptGetProperty(CngHandle object, const WideChar* property,
                                           uint8_t* output, uint32_t outputSize,
                                           uint32_t* resultSize, uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptGetProperty", &status)) return status;
    return cng_.BCryptGetProperty(object, property, output, outputSize, resultSize, flags);
}

NtStatus MemoryPlatform::BCryptCreateHash(CngHandle algorithm, CngHandle* hash, uint8_t* hashObject,
                                          uint32_t hashObjectSize, const uint8_t* secret,
                                          uint32_t secretSize, uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptCreateHash", &status)) return status;
    status = cng_.BCryptCreateHash(algorithm, hash, hashObject, hashObjectSize, secret, secretSize,
                                   flags);
    if (status >= 0) cngEvents_.push_back("CreateHash");
    return status;
}

NtStatus MemoryPlatform::BCryptHashData(CngHandle hash, const uint8_t* input, uint32_t size,
                                        uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptHashData", &status)) return status;
    return cng_.BCryptHashData(hash, input, size, flags);
}

NtStatus MemoryPlatform::BCryptFinishHash(CngHandle hash, uint8_t* output, uint32_t size,
                                          uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptFinishHash", &status)) return status;
    return cng_.BCryptFinishHash(hash, output, size, flags);
}

NtStatus MemoryPlatform::BCryptDestroyHash(CngHandle hash) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptDestroyHash", &status)) return status;
    status = cng_.BCryptDestroyHash(hash);
    if (status >= 0) cngEvents_.push_back("DestroyHash");
    return status;
}

NtStatus MemoryPlatform::BCryptImportKeyPair(CngHandle algorithm, CngHandle importKey,
                                             const WideChar* blobType, CngHandle* key,
                                             const uint8_t* input, uint32_t inputSize,
                                             uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptImportKeyPair", &status)) return status;
    status = cng_.BCryptImportKeyPair(algorithm, importKey, blobType, key, input, inputSize, flags);
    if (status >= 0) cngEvents_.push_back("ImportKeyPair");
    return status;
}

NtStatus MemoryPlatform::BCryptVerifySignature(CngHandle key, const WideChar* pkcs1HashAlgorithm,
                                               const uint8_t* hash, uint32_t hashSize,
                                               const uint8_t* signature, uint32_t signatureSize,
                                               uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptVerifySignature", &status)) return status;
    return cng_.BCryptVerifySignature(key, pkcs1HashAlgorithm, hash, hashSize, signature,
                                      signatureSize, flags);
}

NtStatus MemoryPlatform::BCryptDestroyKey(CngHandle key) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptDestroyKey", &status)) return status;
    status = cng_.BCryptDestroyKey(key);
    if (status >= 0) cngEvents_.push_back("DestroyKey");
    return status;
}

NtStatus MemoryPlatform::BCryptSetProperty(CngHandle object, const WideChar* property,
                                           const uint8_t* input, uint32_t inputSize,
                                           uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptSetProperty", &status)) return status;
    return cng_.BCryptSetProperty(object, property, input, inputSize, flags);
}

NtStatus MemoryPlatform::BCryptGenerateSymmetricKey(CngHandle algorithm, CngHandle* key,
                                                    uint8_t* keyObject, uint32_t keyObjectSize,
                                                    const uint8_t* secret, uint32_t secretSize,
                                                    uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptGenerateSymmetricKey", &status)) return status;
    status = cng_.BCryptGenerateSymmetricKey(algorithm, key, keyObject, keyObjectSize, secret,
                                             secretSize, flags);
    if (status >= 0) {
        cngEvents_.push_back("GenerateSymmetricKey");
        keyObjects_.push_back({keyObject, keyObjectSize});
    }
    return status;
}

NtStatus MemoryPlatform::BCryptDecrypt(CngHandle key, const uint8_t* input, uint32_t inputSize,
                                       const AuthenticatedCipherInfo* authenticatedInfo,
                                       uint8_t* iv, uint32_t ivSize, uint8_t* output,
                                       uint32_t outputSize, uint32_t* result, uint32_t flags) {
    NtStatus status = 0;
    if (InjectedStatus("BCryptDecrypt", &status)) {
        // A refusing provider may still have written plaintext: leave a visible trace of it.
        if (output != nullptr && outputSize != 0) std::memset(output, 0xA5, outputSize);
        return status;
    }
    if (output != nullptr) decryptOutputs_.push_back({output, outputSize});
    return cng_.BCryptDecrypt(key, input, inputSize, authenticatedInfo, iv, ivSize, output,
                              outputSize, result, flags);
}

bool MemoryPlatform::FlushFileBuffers(Handle file) {
    if (Injected("FlushFileBuffers")) return false;
    const OpenHandle* open = FindHandle(file, OpenHandle::Kind::File);
    if (open == nullptr) {
        lastError_ = win::kErrorInvalidHandle;
        return false;
    }
    if (!GrantsWriteData(open->access)) {
        lastError_ = win::kErrorAccessDenied;
        return false;
    }
    return true;
}

bool MemoryPlatform::MoveFileExW(const WideChar* from, const WideChar* to, uint32_t flags) {
    if (Injected("MoveFileExW")) return false;
    constexpr uint32_t kReplaceExisting = 1;
    constexpr uint32_t kWriteThrough = 8;
    if ((flags & ~(kReplaceExisting | kWriteThrough)) != 0 || (flags & kReplaceExisting) != 0) {
        throw std::logic_error("MemoryPlatform: MoveFileExW flags not modelled");
    }
    const uint32_t error = files_.Rename(from, to, process.currentDirectory);
    if (error != 0) {
        lastError_ = error;
        return false;
    }
    return true;
}

bool MemoryPlatform::CreateDirectoryW(const WideChar* path, void* securityAttributes) {
    if (Injected("CreateDirectoryW")) return false;
    const uint32_t error = files_.CreateDirectory(path, process.currentDirectory);
    if (error != 0) {
        lastError_ = error;
        return false;
    }
    createdDirectories_.push_back({path, securityAttributes});
    return true;
}

void MemoryPlatform::RtlSecureZeroMemory(void* memory, std::size_t size) {
    ++calls_["RtlSecureZeroMemory"];
    if (size != 0) std::memset(memory, 0, size);
    wipes_.push_back({static_cast<uint8_t*>(memory), size});
}

bool MemoryPlatform::WasWiped(const void* memory, std::size_t size) const {
    const auto* begin = static_cast<const uint8_t*>(memory);
    return std::any_of(wipes_.begin(), wipes_.end(), [&](const Region& wipe) {
        return wipe.begin <= begin && begin + size <= wipe.begin + wipe.size;
    });
}

}  // namespace veltomarn::testing
