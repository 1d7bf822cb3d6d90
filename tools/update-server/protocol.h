// The update server's answers: a query string in, an answer text out. Every
// answer has HTTP status 200; its first line is "ok" when the request
// succeeded and "error <reason>" when it did not.
#ifndef UPDATE_SERVER_PROTOCOL_H
#define UPDATE_SERVER_PROTOCOL_H

#include <ctime>
#include <functional>
#include <string>

#include "update-server/catalogue.h"

namespace update_server {

struct Answer {
    std::string op;         // value of op= as sent; empty when there is none
    std::string body;       // lines, each ending with a line feed
    bool ok = false;        // the body's first line is "ok"
    bool birdFile = false;  // line 2 of the body is a BIRD file in Base64
};

// The op= value of a query string, found the way Handle reads it, or "".
std::string QueryOp(const std::string& query);

class Protocol {
  public:
    // `tokenKey` signs feature tokens; when empty the server has none and
    // refuses token requests. `clock` gives the token's issue time.
    Protocol(
        const Catalogue& catalogue, std::string tokenKey,
        std::function<std::time_t()> clock = [] { return std::time(nullptr); });

    // `query` is the text after "?" of the request target, exactly as sent
    // (no percent-decoding).
    Answer Handle(const std::string& query) const;

  private:
    const Catalogue& catalogue_;
    std::string tokenKey_;
    std::function<std::time_t()> clock_;
};

}  // namespace update_server

#endif
