#include "app/server/HTTPRequest.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "app/Log.h"

namespace {

// Largest body accepted. A BIRD file decompresses to at most 64 MiB and
// arrives as Base64, a third larger than the file; anything far beyond that
// is a server gone wrong, and holding it would only exhaust memory.
constexpr size_t kMaxBodyBytes = 128u * 1024 * 1024;

// A transfer that moves fewer bytes per second than this for the stall time
// counts as stalled.
constexpr long kStallBytesPerSecond = 1;

std::once_flag _global_init_once;

// A positive number of seconds from the environment, else the default.
long _seconds_from_env(const char* name, long defaultSeconds) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') {
        return defaultSeconds;
    }
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value <= 0 || value > 86400) {
        Log::log(DEBUG_ServerComm, "Ignoring %s=[%s]\n", name, text);
        return defaultSeconds;
    }
    return value;
}

size_t _rcv_data(char* data, size_t size, size_t count, void* ref) {
    HTTPResponse* response = static_cast<HTTPResponse*>(ref);
    const size_t length = size * count;
    // The received bytes are not terminated: show at most 100 of them.
    char preview[101];
    const size_t shown = length < 100 ? length : 100;
    memcpy(preview, data, shown);
    preview[shown] = '\0';
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(response) & 0xFFFFFFFFu), preview);
    if (response->body_length() + length > kMaxBodyBytes) {
        Log::log(DEBUG_ServerComm, "rcv_data refuses a body over %zu bytes\n", kMaxBodyBytes);
        return 0;  // aborts the transfer with a write error
    }
    response->process(data, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

// Sets the options in order and stops at the first one refused.
CURLcode _set_options(CURL* curl, HTTPResponse& response, char* errorText) {
    CURLcode code = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data);
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_URL, response.get_request());
    }
    // Only the web: a typed URL never reaches files or other protocols.
    if (code == CURLE_OK) {
#if LIBCURL_VERSION_NUM >= 0x075500
        code = curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
        code = curl_easy_setopt(curl, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
    }
    // The server must prove who it is: a firmware image from anyone else
    // would end up in modules.
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    }
    const char* caFile = getenv("SSL_CERT_FILE");
    if (code == CURLE_OK && caFile != nullptr && *caFile != '\0') {
        code = curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
    }
    const char* caDir = getenv("SSL_CERT_DIR");
    if (code == CURLE_OK && caDir != nullptr && *caDir != '\0') {
        code = curl_easy_setopt(curl, CURLOPT_CAPATH, caDir);
    }
    // A server that stops answering must not hold the program forever.
    if (code == CURLE_OK) {
        code = curl_easy_setopt(
            curl, CURLOPT_CONNECTTIMEOUT,
            _seconds_from_env("QX_HTTP_CONNECT_SECONDS", HTTPRequest::kDefaultConnectSeconds));
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(
            curl, CURLOPT_LOW_SPEED_TIME,
            _seconds_from_env("QX_HTTP_STALL_SECONDS", HTTPRequest::kDefaultStallSeconds));
    }
    // Requests may run on a thread of their own: no signals for time-outs.
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    }
    return code;
}

}  // namespace

std::string HTTPRequest::BuildURL(const char* url,
                                  const std::map<std::string, std::string>& parameters) {
    std::string request = url != nullptr ? url : "";
    if (!parameters.empty()) {
        request += '?';
    }
    for (const auto& parameter : parameters) {
        request += parameter.first;
        request += '=';
        request += parameter.second;
        request += '&';
    }
    return request;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& parameters) {
    std::call_once(_global_init_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    HTTPResponse response(BuildURL(url, parameters).c_str());
    if (curl == nullptr) {
        throw std::runtime_error("Could not create curl instance");
    }
    char errorText[CURL_ERROR_SIZE] = "";
    CURLcode code = _set_options(curl, response, errorText);
    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
        code = curl_easy_perform(curl);
    }
    long status = 0;
    if (code == CURLE_OK) {
        code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) {
        if (errorText[0] != '\0') {
            Log::log(DEBUG_ServerComm, "GET(%s) failed: %s\n", response.get_request(), errorText);
        }
        throw std::runtime_error(curl_easy_strerror(code));
    }
    response.set_status(status);
    return response;
}
