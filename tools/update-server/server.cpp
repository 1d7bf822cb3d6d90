#include "update-server/server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "update-server/protocol.h"

namespace update_server {
namespace {

// Redirected requests arrive under this prefix and are answered without
// faults.
const std::string kMovedPrefix = "/moved";

constexpr size_t kWorkerThreads = 16;
constexpr time_t kKeepAliveSeconds = 2;
constexpr time_t kReadWriteSeconds = 5;
constexpr std::chrono::milliseconds kStopGrace{1000};

std::string AddressText(const sockaddr_storage& address, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    } else {
        port = -1;
    }
    return text;
}

// Calls `visit(fd, local, localPort, peer, peerPort)` for every connected
// TCP socket of this process.
template <class Visit>
void ForEachConnection(Visit visit) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    std::vector<int> fds;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            fds.push_back(std::atoi(entry->d_name));
        }
    }
    closedir(dir);
    for (const int fd : fds) {
        sockaddr_storage local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) {
            continue;
        }
        int localPort = -1, peerPort = -1;
        const std::string localText = AddressText(local, localPort);
        const std::string peerText = AddressText(peer, peerPort);
        if (localPort >= 0 && peerPort >= 0 &&
            visit(fd, localText, localPort, peerText, peerPort)) {
            return;
        }
    }
}

// The socket a request came in on, found by its two addresses; -1 when it
// is gone.
int ConnectionOf(const httplib::Request& req) {
    int found = -1;
    ForEachConnection([&](int fd, const std::string& local, int localPort, const std::string& peer,
                          int peerPort) {
        if (localPort == req.local_port && peerPort == req.remote_port && local == req.local_addr &&
            peer == req.remote_addr) {
            found = fd;
            return true;
        }
        return false;
    });
    return found;
}

class RequestLog {
  public:
    explicit RequestLog(const std::string& path) {
        if (path.empty()) {
            return;
        }
        file_ = std::fopen(path.c_str(), "a");
        if (file_ == nullptr) {
            throw std::runtime_error("cannot open request log " + path);
        }
    }
    ~RequestLog() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    void Write(const std::string& line) {
        if (file_ == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }

  private:
    std::FILE* file_ = nullptr;
    std::mutex mutex_;
};

}  // namespace

struct Server::Impl {
    Impl(const Catalogue& catalogue, ServerOptions opts)
        : options(std::move(opts)),
          protocol(catalogue, options.tokenKey),
          log(options.requestLog),
          stopFd(eventfd(0, EFD_CLOEXEC)) {
        if (stopFd < 0) {
            throw std::runtime_error("cannot create an event descriptor");
        }
    }
    ~Impl() { close(stopFd); }

    // Waits `ms` milliseconds (forever when negative). Returns false early
    // when the client closes its connection or the server stops.
    bool Delay(const httplib::Request& req, long ms) {
        const int client = ConnectionOf(req);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            pollfd fds[2] = {{stopFd, POLLIN, 0}, {client, POLLRDHUP, 0}};
            int timeout = -1;
            if (ms >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            const int ready = poll(fds, 2, timeout);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                return true;
            }
            if (ready < 0 || fds[0].revents != 0 || fds[1].revents != 0) {
                return false;
            }
        }
    }

    void Answer(const httplib::Request& req, httplib::Response& res) {
        const std::string& target = req.target;
        const size_t mark = target.find('?');
        std::string path = target.substr(0, mark);
        const std::string query = mark == std::string::npos ? "" : target.substr(mark + 1);
        const bool moved = path.compare(0, kMovedPrefix.size() + 1, kMovedPrefix + "/") == 0;
        if (moved) {
            path.erase(0, kMovedPrefix.size());
        }
        if (!options.path.empty() && path != options.path) {
            res.status = 404;
            res.set_content("error not found\n", "text/plain");
            return;
        }

        update_server::Answer answer = protocol.Handle(query);
        const Faults& faults = options.faults;
        if (moved || !faults.AppliesTo(answer.op)) {
            res.set_content(answer.body, "text/plain");
            return;
        }
        if (faults.stall || faults.slowMs > 0) {
            if (!Delay(req, faults.stall ? -1 : faults.slowMs)) {
                // The client gave up or the server is stopping: 503, and the
                // connection closes.
                res.status = 503;
                res.set_header("Connection", "close");
                return;
            }
        }
        ApplyBodyFaults(faults, answer);
        if (faults.redirect) {
            res.status = 302;
            res.set_header("Location", kMovedPrefix + target);
        } else if (faults.status != 0) {
            res.status = faults.status;
        }
        if (!faults.truncate) {
            res.set_content(answer.body, "text/plain");
            return;
        }
        // Announce the whole body, send half of it, then end the connection.
        auto body = std::make_shared<std::string>(answer.body);
        res.set_content_provider(body->size(), "text/plain",
                                 [body](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0) {
                                         sink.write(body->data(), body->size() / 2);
                                     }
                                     return false;
                                 });
    }

    void Configure(httplib::Server& server) {
        server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        // The library's default also sets SO_REUSEPORT, which would let a
        // second server share a port that is in use instead of failing.
        server.set_socket_options([](socket_t sock) {
            const int on = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        });
        server.set_keep_alive_timeout(kKeepAliveSeconds);
        server.set_read_timeout(kReadWriteSeconds, 0);
        server.set_write_timeout(kReadWriteSeconds, 0);
        server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            log.Write(req.target);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            Answer(req, res);
        });
        server.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
                std::string what = "unknown";
                try {
                    std::rethrow_exception(error);
                } catch (const std::exception& e) {
                    what = e.what();
                } catch (...) {
                }
                res.status = 500;
                res.set_content("error internal: " + what + "\n", "text/plain");
            });
    }

    Listener Bind(httplib::Server& server, const std::string& scheme, int port) {
        if (port == 0) {
            port = server.bind_to_any_port(options.bind);
            if (port <= 0) {
                throw std::runtime_error("cannot listen for " + scheme + " on " + options.bind);
            }
        } else if (!server.bind_to_port(options.bind, port)) {
            throw std::runtime_error("cannot listen for " + scheme + " on " + options.bind + ":" +
                                     std::to_string(port));
        }
        ports.push_back(port);
        return Listener{scheme, options.bind, port};
    }

    // Shuts every open connection to one of our listeners, so that workers
    // waiting on it end at once.
    void CloseConnections() {
        ForEachConnection(
            [this](int fd, const std::string&, int localPort, const std::string&, int) {
                for (const int port : ports) {
                    if (port == localPort) {
                        shutdown(fd, SHUT_RDWR);
                    }
                }
                return false;
            });
    }

    ServerOptions options;
    Protocol protocol;
    RequestLog log;
    int stopFd;
    std::vector<int> ports;
    std::vector<std::unique_ptr<httplib::Server>> servers;
    std::vector<std::future<void>> running;
    bool stopped = false;
};

Server::Server(const Catalogue& catalogue, ServerOptions options)
    : impl_(std::make_unique<Impl>(catalogue, std::move(options))) {}

Server::~Server() {
    Stop();
}

std::vector<Listener> Server::Start() {
    Impl& impl = *impl_;
    std::vector<Listener> listeners;
    if (impl.options.httpPort >= 0) {
        auto server = std::make_unique<httplib::Server>();
        impl.Configure(*server);
        listeners.push_back(impl.Bind(*server, "http", impl.options.httpPort));
        impl.servers.push_back(std::move(server));
    }
    if (impl.options.httpsPort >= 0) {
        auto server = std::make_unique<httplib::SSLServer>(impl.options.certFile.c_str(),
                                                           impl.options.keyFile.c_str());
        if (!server->is_valid()) {
            throw std::runtime_error("cannot use certificate " + impl.options.certFile +
                                     " with key " + impl.options.keyFile);
        }
        impl.Configure(*server);
        listeners.push_back(impl.Bind(*server, "https", impl.options.httpsPort));
        impl.servers.push_back(std::move(server));
    }
    for (auto& server : impl.servers) {
        httplib::Server* s = server.get();
        impl.running.push_back(std::async(std::launch::async, [s] { s->listen_after_bind(); }));
    }
    return listeners;
}

void Server::Stop() {
    Impl& impl = *impl_;
    if (impl.stopped) {
        return;
    }
    impl.stopped = true;
    const uint64_t one = 1;
    if (write(impl.stopFd, &one, sizeof one) != sizeof one) {
        std::perror("update-server: waking delayed answers");
    }
    // Answers in progress (delayed ones included, now woken) get a grace
    // period to go out; after it, connections still open are shut so that
    // workers waiting on idle or slow clients end.
    const auto grace = std::chrono::steady_clock::now() + kStopGrace;
    for (size_t i = 0; i < impl.servers.size(); ++i) {
        // A listener whose thread has not begun to accept yet ignores stop():
        // ask again until its thread has ended.
        while (true) {
            impl.servers[i]->stop();
            if (impl.running[i].wait_for(std::chrono::milliseconds(50)) ==
                std::future_status::ready) {
                break;
            }
            if (std::chrono::steady_clock::now() >= grace) {
                impl.CloseConnections();
            }
        }
    }
    impl.running.clear();
    impl.servers.clear();
}

}  // namespace update_server
