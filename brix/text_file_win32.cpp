// Text files on Windows: CreateFileA without security attributes gives a handle that child
// processes do not inherit (the C library's fopen would make an inheritable one).
#include <windows.h>

#include "brix/text_file.h"

namespace brix {

bool read_text_file(const std::string& path, std::string& text) {
    text.clear();
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string raw;
    char chunk[4096];
    DWORD count = 0;
    bool ok;
    while ((ok = ::ReadFile(file, chunk, sizeof chunk, &count, nullptr) != 0) && count > 0) {
        raw.append(chunk, count);
    }
    ::CloseHandle(file);
    if (!ok) return false;
    // As a text-mode read: CR LF becomes LF.
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text += raw[i];
    }
    return true;
}

bool write_text_file(const std::string& path, const std::string& text) {
    const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string raw;
    for (const char c : text) {
        if (c == '\n') raw += '\r';
        raw += c;
    }
    DWORD written = 0;
    const bool ok =
        ::WriteFile(file, raw.data(), static_cast<DWORD>(raw.size()), &written, nullptr) != 0 &&
        written == raw.size();
    return ::CloseHandle(file) != 0 && ok;
}

std::string write_standard_stream(int stream, const std::string& text) {
    const HANDLE handle = ::GetStdHandle(stream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "no such standard stream";
    std::string raw;
    raw.reserve(text.size() + 2);
    for (const char c : text) {
        if (c == '\n') raw += '\r';
        raw += c;
    }
    DWORD written = 0;
    for (std::size_t done = 0; done < raw.size(); done += written) {
        if (!::WriteFile(handle, raw.data() + done, static_cast<DWORD>(raw.size() - done), &written,
                         nullptr) ||
            written == 0) {
            const DWORD code = ::GetLastError();
            char message[256] = {};
            const DWORD length =
                ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, message, sizeof message, nullptr);
            std::string text_of_code(message, length);
            while (!text_of_code.empty() &&
                   (text_of_code.back() == '\n' || text_of_code.back() == '\r'))
                text_of_code.pop_back();
            return text_of_code.empty() ? "error " + std::to_string(code) : text_of_code;
        }
    }
    return "";
}

}  // namespace brix
