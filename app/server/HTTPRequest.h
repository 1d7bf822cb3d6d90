// One HTTP or HTTPS GET, the body collected into an HTTPResponse.
//
// HTTPS checks the server's certificate chain and host name. The trusted
// authorities are the system's, or those named by SSL_CERT_FILE (a bundle)
// and SSL_CERT_DIR (a hashed directory) when set. Redirects are not followed.
// A connection must be made within QX_HTTP_CONNECT_SECONDS (default 10) and a
// transfer that moves no byte for QX_HTTP_STALL_SECONDS (default 30) is
// abandoned; both are read from the environment at every request.
#ifndef APP_SERVER_HTTPREQUEST_H
#define APP_SERVER_HTTPREQUEST_H

#include <map>
#include <string>

#include "app/server/HTTPResponse.h"

class HTTPRequest {
  public:
    static constexpr long kDefaultConnectSeconds = 10;
    static constexpr long kDefaultStallSeconds = 30;

    // The request URL: `url`, then "?" when there is at least one parameter,
    // then "key=value&" for every parameter in key order. Values go in as they
    // are: callers encode what needs encoding.
    static std::string BuildURL(const char* url,
                                const std::map<std::string, std::string>& parameters);

    // Performs the GET. Throws std::runtime_error with the HTTP library's
    // error text when no answer could be had (connection, name, TLS,
    // time-out); any answer, whatever its status, is returned.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& parameters);
};

#endif
