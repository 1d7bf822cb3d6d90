#include "app/server/HTTPResponse.h"

HTTPResponse::HTTPResponse(const char* url) : request(url != nullptr ? url : "") {}

void HTTPResponse::process(const char* data, size_t length) {
    if (data != nullptr && length != 0) {
        response.append(data, length);
    }
}
