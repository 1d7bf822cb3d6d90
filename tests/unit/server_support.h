// Helpers of the update-server client tests: a tiny HTTP server on 127.0.0.1
// whose answers a test writes itself (any status, any body, a delay, or no
// answer at all), recording the request targets it receives.
#ifndef TESTS_UNIT_SERVER_SUPPORT_H
#define TESTS_UNIT_SERVER_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace server_test {

// No proxy may carry a test's request away from this machine.
inline const bool kProxiesCleared = [] {
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        unsetenv(name);
    }
    return true;
}();

struct Reply {
    int status = 200;
    std::string body;
    std::string headers;  // extra header lines, each ending with "\r\n"
    int delayMs = 0;      // wait this long before answering
    bool hang = false;    // never answer; hold the connection until the client goes
};

inline Reply Ok(const std::string& body) {
    Reply reply;
    reply.body = body;
    return reply;
}

// Serves one connection at a time on its own thread until destroyed. Every
// wait is in poll(), woken by the client or by the destructor.
class TinyServer {
  public:
    using Handler = std::function<Reply(const std::string& target)>;

    explicit TinyServer(Handler handler) : handler_(std::move(handler)) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t size = sizeof(address);
        if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(listen_, 8) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
            pipe2(wake_, O_CLOEXEC) != 0) {
            perror("TinyServer");
            abort();
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }

    ~TinyServer() {
        const char stop = 's';
        if (write(wake_[1], &stop, 1) != 1) {
            perror("TinyServer stop");
        }
        thread_.join();
        close(listen_);
        close(wake_[0]);
        close(wake_[1]);
    }

    int Port() const { return port_; }
    // The base URL "http://127.0.0.1:PORT/cgi/u" (or another path).
    std::string Url(const std::string& path = "/cgi/u") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> Targets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }

  private:
    // Waits for `fd` to be readable; false when the server is stopping or
    // `timeoutMs` (when not negative) has passed.
    bool WaitReadable(int fd, int timeoutMs) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int n = poll(fds, 2, timeoutMs);
        return n > 0 && (fds[1].revents & POLLIN) == 0 && fds[0].revents != 0;
    }

    bool Stopping() {
        pollfd p = {wake_[0], POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

    void Run() {
        for (;;) {
            if (!WaitReadable(listen_, -1)) {
                return;
            }
            const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            Serve(client);
            close(client);
            if (Stopping()) {
                return;
            }
        }
    }

    void Serve(int client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            if (!WaitReadable(client, -1)) {
                return;
            }
            const ssize_t n = read(client, buffer, sizeof(buffer));
            if (n <= 0) {
                return;
            }
            request.append(buffer, static_cast<size_t>(n));
        }
        // "GET <target> HTTP/1.1"
        const size_t start = request.find(' ') + 1;
        const std::string target = request.substr(start, request.find(' ', start) - start);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            targets_.push_back(target);
        }
        const Reply reply = handler_(target);
        if (reply.hang) {
            // Until the client closes (readable with end of file) or we stop.
            while (WaitReadable(client, -1)) {
                if (read(client, buffer, sizeof(buffer)) <= 0) {
                    return;
                }
            }
            return;
        }
        if (reply.delayMs > 0) {
            pollfd p = {wake_[0], POLLIN, 0};
            if (poll(&p, 1, reply.delayMs) > 0) {
                return;
            }
        }
        std::string answer = "HTTP/1.1 " + std::to_string(reply.status) + " Test\r\n" +
                             "Content-Length: " + std::to_string(reply.body.size()) + "\r\n" +
                             "Connection: close\r\n" + reply.headers + "\r\n" + reply.body;
        size_t sent = 0;
        while (sent < answer.size()) {
            const ssize_t n =
                send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<size_t>(n);
        }
    }

    Handler handler_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> targets_;
};

// The value of `key` in a request target ("...?a=1&op=qu&"), or "".
inline std::string QueryValue(const std::string& target, const std::string& key) {
    const size_t query = target.find('?');
    if (query == std::string::npos) {
        return "";
    }
    size_t at = query + 1;
    while (at < target.size()) {
        const size_t end = target.find('&', at);
        const std::string piece = target.substr(at, end - at);
        if (piece.compare(0, key.size() + 1, key + "=") == 0) {
            return piece.substr(key.size() + 1);
        }
        if (end == std::string::npos) {
            break;
        }
        at = end + 1;
    }
    return "";
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) {
            old_ = old;
        }
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    bool hadOld_ = false;
    std::string old_;
};

}  // namespace server_test

#endif
