// Registration as Windows expects a third-party WIC decoder and a
// thumbnail handler, under one Software\Classes key: the machine's
// (regsvr32) or the user's (regsvr32 /n /i:user).
//
// The decoder's and the handler's class keys are wholly ours. The
// extensions' keys are shared with whatever else the system knows of them:
// a value or key is written there only where none is, its default (the
// program that owns the extension) never, and each one written is listed
// in the decoder's class key, so that unregistering removes exactly those,
// and only while they still hold what was written.
#include <windows.h>

#include <string>
#include <vector>

#include "modules/wic/module.hpp"

namespace quorvel::wic {

namespace {

// The names the paint program gave its pictures, as the desktop's type
// lists them (not .scm, .scn and .scr, which other types hold).
constexpr const wchar_t* kExtensions[] = {L".rix", L".vmg", L".sca", L".scb", L".scc", L".scd", L".sce", L".scf",
                                          L".scg", L".sch", L".sci", L".scj", L".sck", L".scl", L".sco", L".scp",
                                          L".scq", L".scs", L".sct", L".scu", L".scv", L".scw", L".scx", L".scy",
                                          L".scz"};
constexpr wchar_t kMimeType[] = L"image/x-colorix";
constexpr wchar_t kDecoderCategory[] = L"{7ED96837-96F0-4812-B211-F13C24117ED3}";
constexpr wchar_t kIndexed8[] = L"{6FDDC324-4E03-4BFE-B185-3D77768DC904}";
constexpr wchar_t kThumbnailHandlerKey[] = L"\\ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}";
constexpr wchar_t kPreviewHandlerKey[] = L"\\ShellEx\\{8895b1c6-b41f-4c1c-a562-0d564250836f}";
constexpr wchar_t kPhotoPreviewHandler[] = L"{FFE2A43C-56B9-4bf5-9A79-CC6D4285608A}";
constexpr wchar_t kJournal[] = L"Quorvel Registered";

std::wstring text(const GUID& guid) {
    wchar_t buffer[40];
    return StringFromGUID2(guid, buffer, 40) ? buffer : L"";
}

std::wstring modulePath() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(thisModule(), path.data(), static_cast<DWORD>(path.size()));
    path.resize(length < path.size() ? length : 0);
    return path;
}

// A journal entry: "k" and a key's path, or "v", a key's path, a value's
// name and its data, tab-separated.
std::wstring keyEntry(const std::wstring& path) { return L"k\t" + path; }
std::wstring valueEntry(const std::wstring& path, const std::wstring& name, const std::wstring& data) {
    return L"v\t" + path + L"\t" + name + L"\t" + data;
}

class Writer {
public:
    explicit Writer(HKEY classes) : classes_(classes) {}

    HRESULT result() const { return result_; }
    std::vector<std::wstring>& journal() { return journal_; }

    // Opens `path`, creating each missing part of it, and lists each one
    // created where `listed`.
    HKEY open(const std::wstring& path, bool listed) {
        HKEY key = nullptr;
        for (std::size_t end = 0; end != std::wstring::npos;) {
            end = path.find(L'\\', end + 1);
            const std::wstring part = path.substr(0, end);
            DWORD disposition = 0;
            if (key) RegCloseKey(key);
            key = nullptr;
            const LSTATUS status =
                RegCreateKeyExW(classes_, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
            if (!check(status)) return nullptr;
            if (listed && disposition == REG_CREATED_NEW_KEY) journal_.push_back(keyEntry(part));
        }
        return key;
    }
    void string(const std::wstring& path, const wchar_t* name, const std::wstring& data) {
        put(path, name, REG_SZ, data.c_str(), (data.size() + 1) * sizeof(wchar_t));
    }
    void number(const std::wstring& path, const wchar_t* name, DWORD data) { put(path, name, REG_DWORD, &data, sizeof data); }
    void bytes(const std::wstring& path, const wchar_t* name, const void* data, DWORD size) {
        put(path, name, REG_BINARY, data, size);
    }
    // A string in a shared key, written and listed only where the key has
    // no value of that name.
    void stringWhereNone(const std::wstring& path, const wchar_t* name, const std::wstring& data) {
        HKEY key = open(path, true);
        if (!key) return;
        const LSTATUS present = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr);
        if (present == ERROR_FILE_NOT_FOUND) {
            if (check(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))))) {
                journal_.push_back(valueEntry(path, name ? name : L"", data));
            }
        } else {
            check(present);
        }
        RegCloseKey(key);
    }

private:
    void put(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, std::size_t size) {
        HKEY key = open(path, true);
        if (!key) return;
        check(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
        RegCloseKey(key);
    }
    bool check(LSTATUS status) {
        if (status != ERROR_SUCCESS && SUCCEEDED(result_)) result_ = HRESULT_FROM_WIN32(status);
        return status == ERROR_SUCCESS;
    }

    HKEY classes_;
    HRESULT result_ = S_OK;
    std::vector<std::wstring> journal_;
};

std::wstring decoderKey() { return L"CLSID\\" + text(kDecoderClass); }
std::wstring thumbnailKey() { return L"CLSID\\" + text(kThumbnailClass); }
std::wstring instanceKey() { return std::wstring(L"CLSID\\") + kDecoderCategory + L"\\Instance\\" + text(kDecoderClass); }

std::vector<std::wstring> readJournal(HKEY classes) {
    DWORD size = 0;
    const std::wstring key = decoderKey();
    if (RegGetValueW(classes, key.c_str(), kJournal, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    std::wstring all(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(all.size() * sizeof(wchar_t));
    if (RegGetValueW(classes, key.c_str(), kJournal, RRF_RT_REG_MULTI_SZ, nullptr, all.data(), &size) != ERROR_SUCCESS) return {};
    std::vector<std::wstring> entries;
    for (std::size_t at = 0; at < all.size() && all[at];) {
        const std::size_t end = all.find(L'\0', at);
        entries.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return entries;
}

void writeJournal(Writer& writer, std::vector<std::wstring> entries) {
    std::wstring all;
    for (const std::wstring& entry : entries) all += entry + L'\0';
    all += L'\0';
    HKEY key = writer.open(decoderKey(), false);
    if (!key) return;
    RegSetValueExW(key, kJournal, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(all.data()),
                   static_cast<DWORD>(all.size() * sizeof(wchar_t)));
    RegCloseKey(key);
}

void registerDecoder(Writer& writer, const std::wstring& server) {
    const std::wstring key = decoderKey();
    std::wstring extensions;
    for (const wchar_t* extension : kExtensions) extensions += (extensions.empty() ? L"" : L",") + std::wstring(extension);
    writer.string(key, nullptr, L"Quorvel ColorRIX Decoder");
    writer.string(key, L"FriendlyName", L"Quorvel ColorRIX Decoder");
    writer.string(key, L"Author", L"The Quorvel developers");
    writer.string(key, L"Description", L"ColorRIX images, stored, compressed and in 16 colours");
    writer.string(key, L"Version", QUORVEL_VERSION);
    writer.string(key, L"SpecVersion", L"1.0.0.0");
    writer.string(key, L"ColorManagementVersion", L"1.0.0.0");
    writer.string(key, L"ContainerFormat", text(kContainerFormat));
    writer.string(key, L"Vendor", text(kVendor));
    writer.string(key, L"MimeTypes", kMimeType);
    writer.string(key, L"FileExtensions", extensions);
    for (const wchar_t* flag : {L"SupportAnimation", L"SupportChromakey", L"SupportMultiframe"}) writer.number(key, flag, 0);
    writer.number(key, L"SupportLossless", 1);
    writer.string(key + L"\\InprocServer32", nullptr, server);
    writer.string(key + L"\\InprocServer32", L"ThreadingModel", L"Both");
    RegCloseKey(writer.open(key + L"\\Formats\\" + kIndexed8, true));
    const std::wstring pattern = key + L"\\Patterns\\0";
    const BYTE signature[4] = {'R', 'I', 'X', '3'}, mask[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    writer.number(pattern, L"Position", 0);
    writer.number(pattern, L"Length", sizeof signature);
    writer.bytes(pattern, L"Pattern", signature, sizeof signature);
    writer.bytes(pattern, L"Mask", mask, sizeof mask);
    writer.number(pattern, L"EndOfStream", 0);
    writer.string(instanceKey(), L"CLSID", text(kDecoderClass));
    writer.string(instanceKey(), L"FriendlyName", L"Quorvel ColorRIX Decoder");
}

void registerThumbnails(Writer& writer, const std::wstring& server) {
    const std::wstring key = thumbnailKey();
    writer.string(key, nullptr, L"Quorvel ColorRIX Thumbnail Handler");
    writer.string(key + L"\\InprocServer32", nullptr, server);
    writer.string(key + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
    for (const wchar_t* extension : kExtensions) {
        writer.stringWhereNone(extension, L"PerceivedType", L"image");
        writer.stringWhereNone(extension, L"Content Type", kMimeType);
        writer.stringWhereNone(extension + std::wstring(kThumbnailHandlerKey), nullptr, text(kThumbnailClass));
        writer.stringWhereNone(extension + std::wstring(kPreviewHandlerKey), nullptr, kPhotoPreviewHandler);
    }
}

bool holds(HKEY classes, const std::wstring& path, const std::wstring& name, const std::wstring& data) {
    wchar_t found[256];
    DWORD size = sizeof found;
    return RegGetValueW(classes, path.c_str(), name.empty() ? nullptr : name.c_str(), RRF_RT_REG_SZ, nullptr, found,
                        &size) == ERROR_SUCCESS &&
           data == found;
}

bool empty(HKEY classes, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(classes, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0, values = 0;
    const bool read =
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr) ==
        ERROR_SUCCESS;
    RegCloseKey(key);
    return read && subkeys == 0 && values == 0;
}

// Undoes one journal entry, newest first: a value still holding what was
// written, a key left empty.
void undo(HKEY classes, const std::wstring& entry) {
    std::vector<std::wstring> fields;
    for (std::size_t at = 0;;) {
        const std::size_t end = entry.find(L'\t', at);
        fields.push_back(entry.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at));
        if (end == std::wstring::npos) break;
        at = end + 1;
    }
    if (fields[0] == L"v" && fields.size() == 4 && holds(classes, fields[1], fields[2], fields[3])) {
        RegDeleteKeyValueW(classes, fields[1].c_str(), fields[2].empty() ? nullptr : fields[2].c_str());
    } else if (fields[0] == L"k" && fields.size() == 2 && empty(classes, fields[1])) {
        RegDeleteKeyW(classes, fields[1].c_str());
    }
}

}  // namespace

HRESULT registerCodec(HKEY classes) {
    const std::wstring server = modulePath();
    if (server.empty()) return E_FAIL;
    Writer writer(classes);
    std::vector<std::wstring> earlier = readJournal(classes);
    registerDecoder(writer, server);
    registerThumbnails(writer, server);
    earlier.insert(earlier.end(), writer.journal().begin(), writer.journal().end());
    writeJournal(writer, earlier);
    return writer.result();
}

HRESULT unregisterCodec(HKEY classes) {
    const std::vector<std::wstring> journal = readJournal(classes);
    for (const std::wstring& key : {decoderKey(), thumbnailKey(), instanceKey()}) RegDeleteTreeW(classes, key.c_str());
    for (auto entry = journal.rbegin(); entry != journal.rend(); ++entry) undo(classes, *entry);
    return S_OK;
}

}  // namespace quorvel::wic
