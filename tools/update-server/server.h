// The HTTP and HTTPS front of the update server.
#ifndef UPDATE_SERVER_SERVER_H
#define UPDATE_SERVER_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "update-server/catalogue.h"
#include "update-server/faults.h"

namespace update_server {

struct ServerOptions {
    std::string bind = "127.0.0.1";
    int httpPort = -1;   // -1: no plain HTTP listener; 0: any free port
    int httpsPort = -1;  // likewise for HTTPS
    std::string certFile;
    std::string keyFile;
    std::string tokenKey;
    std::string requestLog;  // empty: none
    std::string path;        // empty: the protocol answers on every path
    Faults faults;
};

// One listening socket, as printed at start-up.
struct Listener {
    std::string scheme;  // "http" or "https"
    std::string address;
    int port = 0;
};

class Server {
  public:
    Server(const Catalogue& catalogue, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds every listener and starts serving on threads of its own. Throws
    // std::runtime_error when a listener cannot be set up.
    std::vector<Listener> Start();

    // Stops accepting, wakes delayed answers, closes open connections and
    // waits for every thread.
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace update_server

#endif
