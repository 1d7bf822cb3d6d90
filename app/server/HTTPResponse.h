// The answer to one GET: the URL that was requested, the HTTP status and the
// body bytes in arrival order.
#ifndef APP_SERVER_HTTPRESPONSE_H
#define APP_SERVER_HTTPRESPONSE_H

#include <cstddef>
#include <cstdint>
#include <string>

class HTTPResponse {
  public:
    explicit HTTPResponse(const char* request);

    const char* get_request() const { return request.c_str(); }
    int64_t get_status() const { return status; }
    void set_status(long code) { status = code; }

    // The body as a zero-terminated text the caller may modify in place.
    char* get_response() { return &response[0]; }
    const std::string& body() const { return response; }
    size_t body_length() const { return response.size(); }

    // Appends bytes to the body.
    void process(const char* data, size_t length);

  private:
    std::string request;
    int64_t status = 0;
    std::string response;
};

#endif
