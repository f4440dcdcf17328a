// load_gen: a closed-loop load generator for brix (Linux). N client threads each open one
// connection per request, send the request, read the whole response until the server closes, and
// check it. Prints one summary line of key=value pairs.
//
//     load_gen --port 1995 --concurrency 10 --seconds 5
//              --request 'cgilet=hello&name=bench\n' --expect 'Hello, bench!\n'
//
// --http sends "GET / HTTP/1.0" instead and checks that the response starts with "HTTP/1." and
// contains the --expect text (for a side-by-side run against a web server).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string address = "127.0.0.1";
    int port = 1995;
    int concurrency = 10;
    double seconds = 5.0;
    std::string request = "cgilet=hello&name=bench\n";
    std::string expect = "Hello, bench!\n";
    bool http = false;
};

struct ClientResult {
    std::vector<double> latencies_us;
    long errors = 0;
    std::string first_error;
};

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One request on a new connection; returns an empty string on success or what went wrong.
std::string one_request(const sockaddr_in& target, const Options& options, std::string& buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        const std::string error = std::string("connect: ") + std::strerror(errno);
        close(fd);
        return error;
    }
    const std::string& request = options.request;
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            const std::string error = std::string("send: ") + std::strerror(errno);
            close(fd);
            return error;
        }
        sent += static_cast<std::size_t>(n);
    }
    buffer.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const std::string error = std::string("recv: ") + std::strerror(errno);
            close(fd);
            return error;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (options.http) {
        if (buffer.compare(0, 7, "HTTP/1.") != 0 ||
            buffer.find(options.expect) == std::string::npos)
            return "unexpected response: " + buffer.substr(0, 80);
    } else if (buffer != options.expect) {
        return "unexpected response: " + buffer.substr(0, 80);
    }
    return std::string();
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0.0;
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--address" && has_value) {
            options.address = argv[++i];
        } else if (arg == "--port" && has_value) {
            options.port = std::atoi(argv[++i]);
        } else if (arg == "--concurrency" && has_value) {
            options.concurrency = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--seconds" && has_value) {
            options.seconds = std::atof(argv[++i]);
        } else if (arg == "--request" && has_value) {
            options.request = unescape(argv[++i]);
        } else if (arg == "--expect" && has_value) {
            options.expect = unescape(argv[++i]);
        } else if (arg == "--http") {
            options.http = true;
            options.request = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        } else {
            std::fprintf(stderr, "load_gen: unknown or incomplete option %s\n", arg.c_str());
            return 2;
        }
    }

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<unsigned short>(options.port));
    if (inet_pton(AF_INET, options.address.c_str(), &target.sin_addr) != 1) {
        std::fprintf(stderr, "load_gen: not an IPv4 address: %s\n", options.address.c_str());
        return 2;
    }

    std::vector<ClientResult> results(static_cast<std::size_t>(options.concurrency));
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int c = 0; c < options.concurrency; ++c) {
        clients.emplace_back([&, c] {
            ClientResult& result = results[static_cast<std::size_t>(c)];
            std::string buffer;
            while (!stop.load(std::memory_order_relaxed)) {
                const auto begin = Clock::now();
                const std::string error = one_request(target, options, buffer);
                const auto end = Clock::now();
                if (error.empty()) {
                    result.latencies_us.push_back(
                        std::chrono::duration<double, std::micro>(end - begin).count());
                } else {
                    if (result.errors++ == 0) result.first_error = error;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    stop = true;
    for (std::thread& client : clients) client.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> latencies;
    long errors = 0;
    std::string first_error;
    for (const ClientResult& result : results) {
        latencies.insert(latencies.end(), result.latencies_us.begin(), result.latencies_us.end());
        errors += result.errors;
        if (first_error.empty()) first_error = result.first_error;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("concurrency=%d requests=%zu errors=%ld rps=%.0f p50_us=%.0f p99_us=%.0f\n",
                options.concurrency, latencies.size(), errors,
                static_cast<double>(latencies.size()) / elapsed, percentile(latencies, 0.50),
                percentile(latencies, 0.99));
    if (errors > 0) std::fprintf(stderr, "load_gen: first error: %s\n", first_error.c_str());
    return errors > 0 ? 1 : 0;
}
