// load_gen: a closed-loop load generator for brix (Linux). N client threads each open one
// connection per request, send the request, read the whole response until the server closes, and
// check it. Prints one summary line of key=value pairs.
//
//     load_gen --port 1995 --concurrency 10 --seconds 5
//              --request 'cgilet=hello&name=bench\n' --expect 'Hello, bench!\n'
//
// --rate R paces the clients to R requests a second in all, and sends exactly R x --seconds
// requests (the run lasts until the last is answered).
//
// --http sends "GET / HTTP/1.0" instead and checks that the response starts with "HTTP/1." and
// contains the --expect text (for a side-by-side run against a web server).
//
// Misbehaving clients, for bench/reliability.sh:
//   --silent N        N more connections that send nothing
//   --dribble N       N more connections that send one byte every --dribble-ms (default 5000)
//   --probe SECONDS   instead of the load: once those are connected, one request; prints
//                     "answered=0|1 waited_s=..." (gives up after SECONDS)
//   --hold SECONDS    instead of the load: keep those connections for SECONDS, then exit
//   --timeout SECONDS a request fails when the server sends nothing for that long
//   --until-refused   run the load until connecting fails (the server stopped), not --seconds;
//                     prints "answered=N cut=M" (cut: connected, but no full response)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    int silent = 0;
    int dribble = 0;
    int dribble_ms = 5000;
    double probe = 0.0;
    double hold = 0.0;
    bool until_refused = false;
    double timeout = 0.0;
    double rate = 0.0;
};

// Connections that misbehave while the load (or the probe) runs: silent ones, and dribbling ones
// that send a byte every `dribble_ms` from a thread of their own. Closed at destruction.
class Misbehaving {
  public:
    Misbehaving(const sockaddr_in& target, const Options& options) : every(options.dribble_ms) {
        for (int i = 0; i < options.silent + options.dribble; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0) continue;
            if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
                close(fd);
                continue;
            }
            (i < options.silent ? silent : dribbling).push_back(fd);
        }
        if (!dribbling.empty()) dribbler = std::thread([this] { dribble(); });
    }
    ~Misbehaving() {
        quit = true;
        if (dribbler.joinable()) dribbler.join();
        for (int fd : silent) close(fd);
        for (int fd : dribbling) close(fd);
    }

  private:
    void dribble() {
        auto next = Clock::now();
        while (!quit) {
            if (Clock::now() >= next) {
                for (int fd : dribbling) send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                next += std::chrono::milliseconds(every);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    int every;
    std::vector<int> silent;
    std::vector<int> dribbling;
    std::atomic<bool> quit{false};
    std::thread dribbler;
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

// One request on a new connection; returns an empty string on success or what went wrong
// ("connect: ..." when no connection could be made).
std::string one_request(const sockaddr_in& target, const Options& options, std::string& buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    if (options.timeout > 0) {
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(options.timeout);
        limit.tv_usec =
            static_cast<suseconds_t>((options.timeout - static_cast<double>(limit.tv_sec)) * 1e6);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
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
        } else if (arg == "--silent" && has_value) {
            options.silent = std::atoi(argv[++i]);
        } else if (arg == "--dribble" && has_value) {
            options.dribble = std::atoi(argv[++i]);
        } else if (arg == "--dribble-ms" && has_value) {
            options.dribble_ms = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--probe" && has_value) {
            options.probe = std::atof(argv[++i]);
        } else if (arg == "--hold" && has_value) {
            options.hold = std::atof(argv[++i]);
        } else if (arg == "--timeout" && has_value) {
            options.timeout = std::atof(argv[++i]);
        } else if (arg == "--rate" && has_value) {
            options.rate = std::atof(argv[++i]);
        } else if (arg == "--until-refused") {
            options.until_refused = true;
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

    Misbehaving misbehaving(target, options);
    if (options.hold > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(options.hold));
        return 0;
    }
    if (options.probe > 0) {
        // The probe runs on a thread of its own so that it can be given up after --probe seconds.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the workers take them
        auto result = std::make_shared<std::atomic<int>>(-1);
        const auto begin = Clock::now();
        std::thread([target, options, result] {
            std::string buffer;
            *result = one_request(target, options, buffer).empty() ? 1 : 0;
        }).detach();
        while (*result < 0 && Clock::now() - begin < std::chrono::duration<double>(options.probe)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::printf("answered=%d waited_s=%.1f\n", *result == 1 ? 1 : 0,
                    std::chrono::duration<double>(Clock::now() - begin).count());
        std::fflush(stdout);
        std::_Exit(0);  // the probe thread may still be waiting
    }

    std::vector<ClientResult> results(static_cast<std::size_t>(options.concurrency));
    std::atomic<bool> stop{false};
    std::atomic<long> cut{0};
    std::atomic<long> tickets{0};
    const long paced_total = static_cast<long>(options.rate * options.seconds + 0.5);
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int c = 0; c < options.concurrency; ++c) {
        clients.emplace_back([&, c] {
            ClientResult& result = results[static_cast<std::size_t>(c)];
            std::string buffer;
            while (!stop.load(std::memory_order_relaxed)) {
                if (options.rate > 0) {
                    const long ticket = tickets++;
                    if (ticket >= paced_total) break;
                    std::this_thread::sleep_until(
                        start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(ticket / options.rate)));
                }
                const auto begin = Clock::now();
                const std::string error = one_request(target, options, buffer);
                const auto end = Clock::now();
                if (options.until_refused && !error.empty()) {
                    if (error.compare(0, 8, "connect:") == 0) break;
                    ++cut;
                    continue;
                }
                if (error.empty()) {
                    result.latencies_us.push_back(
                        std::chrono::duration<double, std::micro>(end - begin).count());
                } else {
                    if (result.errors++ == 0) result.first_error = error;
                }
            }
        });
    }
    if (!options.until_refused && options.rate <= 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
        stop = true;
    }
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
    if (options.until_refused) std::printf("answered=%zu cut=%ld\n", latencies.size(), cut.load());
    if (errors > 0) std::fprintf(stderr, "load_gen: first error: %s\n", first_error.c_str());
    return errors > 0 ? 1 : 0;
}
