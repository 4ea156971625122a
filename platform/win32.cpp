// Files, arguments and the console on Windows, through the Win32 API.
// <windows.h> stays in this file: it defines bitmap record names of its own.
//
// The program works in UTF-8 throughout. The arguments are taken as Windows
// holds them, in UTF-16, and turned into UTF-8 once at the entry, so no code
// page of the system or of the manifest stands between a name as typed and
// the file. Names are opened through the wide API, in their "\\?\" absolute
// form where they are too long for the plain one.
#include "platform/platform.hpp"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::platform {

namespace {

// ReadFile and WriteFile take a 32-bit count; larger requests loop.
constexpr std::size_t kLargestTransfer = 1u << 30;

HANDLE nativeOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Where a synchronous ReadFile or WriteFile is to take place.
OVERLAPPED positionedAt(std::uint64_t position) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
}

// Calls `call(done, chunk, moved)` until `count` bytes have moved, the file
// ends (a call moves nothing) or the call reports failure.
template <typename Call>
Transfer transferAll(std::size_t count, Call call) {
    Transfer result{true, 0};
    while (result.done < count) {
        const auto chunk = static_cast<DWORD>(std::min(count - result.done, kLargestTransfer));
        DWORD moved = 0;
        if (!call(result.done, chunk, moved)) {
            result.ok = false;
            break;
        }
        if (moved == 0) break;  // end of file on reads; caller sees the short count
        result.done += moved;
    }
    return result;
}

// With MB_ERR_INVALID_CHARS an empty result stands for text that is not
// valid UTF-8; without it each bad byte becomes U+FFFD.
std::wstring fromUtf8(std::string_view text, DWORD flags) {
    const int bytes = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    const int units = MultiByteToWideChar(CP_UTF8, flags, text.data(), bytes, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, flags, text.data(), bytes, wide.data(), units);
    return wide;
}

// Unpaired surrogates, which UTF-8 cannot hold, become U+FFFD.
std::string toUtf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return {};
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), bytes, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(bytes) - 1);
    return narrow;
}

// Standard output's handle when it is a console, else null.
HANDLE consoleOutput() {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// The plain form while the absolute path fits MAX_PATH; beyond it the
// "\\?\" form of the absolute path, which Windows takes at any length.
std::wstring systemPath(const char* name) {
    const std::wstring wide = fromUtf8(name, MB_ERR_INVALID_CHARS);  // no file has an invalid name
    if (wide.empty()) return wide;
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed <= MAX_PATH) return wide;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return wide;
    full.resize(length);
    if (full.rfind(LR"(\\?\)", 0) == 0) return full;
    if (full.rfind(LR"(\\)", 0) == 0) return LR"(\\?\UNC\)" + full.substr(2);
    return LR"(\\?\)" + full;
}

HANDLE openHandle(const char* name, DWORD access, DWORD share, DWORD disposition) {
    const std::wstring path = systemPath(name);
    if (path.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The output being written, emptied if the run is interrupted. The console's
// handler runs on a thread of its own, so the handle and every write to it
// are guarded: an interrupt waits for a write in flight, and no write
// starts after it.
SRWLOCK outputLock = SRWLOCK_INIT;
HANDLE outputInProgress = nullptr;

class OutputGuard {
public:
    OutputGuard() { AcquireSRWLockExclusive(&outputLock); }
    ~OutputGuard() { ReleaseSRWLockExclusive(&outputLock); }
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;
};

void emptyFile(HANDLE handle) {
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0) SetEndOfFile(handle);
}

// The lock is kept: the process ends before it could be given back. Not
// handled, the event then goes on to the system's own handler, which ends
// the process as the interrupt ends any program.
BOOL WINAPI emptyOutputAndEnd(DWORD /*event*/) {
    AcquireSRWLockExclusive(&outputLock);
    if (outputInProgress) emptyFile(outputInProgress);
    return FALSE;
}

}  // namespace

void emptyOutputOnInterrupt() { SetConsoleCtrlHandler(emptyOutputAndEnd, TRUE); }

// Only disk files, as on POSIX: a pipe or a device (NUL, CON, COM1) could
// block the run on its first read or never end.
File openForReading(const char* name) {
    const HANDLE handle = openHandle(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return {};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return {};
    }
    return File(reinterpret_cast<std::intptr_t>(handle));
}

// No sharing: while the input is open for reading, creating the same file
// for writing fails with a sharing violation, so the input is never emptied.
File createForWriting(const char* path, const File& /*input*/) {
    const OutputGuard guard;
    const HANDLE handle = openHandle(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) return {};
    File file(reinterpret_cast<std::intptr_t>(handle));
    file.seekable_ = GetFileType(handle) == FILE_TYPE_DISK;
    outputInProgress = handle;
    return file;
}

Transfer File::readAt(std::uint64_t offset, void* destination, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(destination);
    return transferAll(count, [&](std::size_t done, DWORD chunk, DWORD& moved) {
        OVERLAPPED at = positionedAt(offset + done);
        // A positioned read at or past the end reports the end as an error.
        return ReadFile(nativeOf(handle_), bytes + done, chunk, &moved, &at) != 0 ||
               GetLastError() == ERROR_HANDLE_EOF;
    });
}

Transfer File::write(const void* source, std::size_t count) {
    const OutputGuard guard;
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result = transferAll(count, [&](std::size_t done, DWORD chunk, DWORD& moved) {
        return WriteFile(nativeOf(handle_), bytes + done, chunk, &moved, nullptr) != 0;
    });
    result.ok = result.ok && result.done == count;  // a write that stalls has failed
    return result;
}

// A positioned write on a synchronous handle moves its file pointer too, so
// the pointer is put back where the next write() is to go on.
Transfer File::writeAt(std::uint64_t offset, const void* source, std::size_t count) {
    const OutputGuard guard;
    LARGE_INTEGER here{};
    if (!SetFilePointerEx(nativeOf(handle_), LARGE_INTEGER{}, &here, FILE_CURRENT)) return {};
    const auto* bytes = static_cast<const unsigned char*>(source);
    Transfer result = transferAll(count, [&](std::size_t done, DWORD chunk, DWORD& moved) {
        OVERLAPPED at = positionedAt(offset + done);
        return WriteFile(nativeOf(handle_), bytes + done, chunk, &moved, &at) != 0;
    });
    result.ok = result.ok && result.done == count && SetFilePointerEx(nativeOf(handle_), here, nullptr, FILE_BEGIN);
    return result;
}

std::uint64_t File::size() const {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(nativeOf(handle_), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return kSizeQueryFailed;
    return (std::uint64_t{high} << 32) | low;
}

// Created with CREATE_ALWAYS, an output was emptied when it was opened.
bool File::cutToWritten() { return true; }

void File::truncateToEmpty() {
    const OutputGuard guard;
    emptyFile(nativeOf(handle_));
}

void File::markWhole() {
    const OutputGuard guard;
    if (outputInProgress == nativeOf(handle_)) outputInProgress = nullptr;
}

void File::close() {
    if (!isOpen()) return;
    markWhole();  // before the handle's value can be taken by another file
    CloseHandle(nativeOf(std::exchange(handle_, kClosed)));
}

// Windows grants large pages only to those holding a privilege: the heap serves.
std::uint8_t* largePages(std::size_t& /*bytes*/) { return nullptr; }

namespace {

bool atLineStart = true;  // whether the last text printed ended its line

}  // namespace

// On a console the text goes out as UTF-16, so that names in any script show
// as typed whatever the console's code page, which stays as it is. Anywhere
// else (a file, a pipe) the UTF-8 bytes go out unchanged; in both, each "\n"
// becomes "\r\n".
void writeStandardOutput(std::string_view text) {
    if (!text.empty()) atLineStart = text.back() == '\n';
    static const HANDLE console = consoleOutput();
    if (!console) {
        std::fwrite(text.data(), 1, text.size(), stdout);  // a text stream: the C runtime adds the "\r"
        return;
    }
    std::wstring wide;
    for (const wchar_t unit : fromUtf8(text, 0)) {
        if (unit == L'\n') wide += L'\r';
        wide += unit;
    }
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

namespace {

// The name of the program that started this one, or "" where it is gone.
std::wstring parentName() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    std::vector<std::pair<DWORD, std::wstring>> processes;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
        processes.emplace_back(entry.th32ProcessID, entry.szExeFile);
    }
    CloseHandle(snapshot);
    for (const auto& [id, name] : processes) {
        if (id == parent) return name;
    }
    return {};
}

}  // namespace

// Started from Explorer (a double-click, files dropped on the program, Send
// To), the program has a console of its own, which Windows closes as the
// program ends. Run from a shell, a script or another program, or with its
// output redirected, nothing waits, so that no script is ever held.
void holdConsoleForReader() {
    DWORD processes[2];
    if (!consoleOutput() || GetConsoleProcessList(processes, 2) != 1 ||
        CompareStringOrdinal(parentName().c_str(), -1, L"explorer.exe", -1, TRUE) != CSTR_EQUAL) {
        return;
    }
    print("%sPress Enter to close this window.", atLineStart ? "" : "\n");
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    wchar_t line[64];
    DWORD read = 0;
    FlushConsoleInputBuffer(input);
    ReadConsoleW(input, line, 64, &read, nullptr);  // returns at Enter, the console's line mode
}

char** utf8Arguments(int count, wchar_t** arguments) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    for (int i = 0; i < count; ++i) texts.push_back(toUtf8(arguments[i]));
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers.data();
}

}  // namespace quorvel::platform
