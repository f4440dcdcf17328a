// Text files on POSIX: open with O_CLOEXEC, read and write, resuming after signals.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "brix/text_file.h"

namespace brix {

bool read_text_file(const std::string& path, std::string& text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[4096];
    ssize_t count;
    while ((count = ::read(fd, chunk, sizeof chunk)) != 0) {
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        text.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(fd);
    if (count < 0) text.clear();
    return count == 0;
}

bool write_text_file(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    return ::close(fd) == 0 && written == text.size();
}

std::string write_standard_stream(int stream, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(stream, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            char message[256] = {};
            // The GNU strerror_r returns the text, which may or may not be in `message`.
            return count < 0 ? ::strerror_r(errno, message, sizeof message) : "nothing written";
        }
        written += static_cast<std::size_t>(count);
    }
    return "";
}

}  // namespace brix
