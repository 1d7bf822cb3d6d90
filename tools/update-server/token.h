// Base64 texts and the signed feature token (three Base64url parts: header,
// payload, signature; the signature is HMAC-SHA256 over "header.payload").
#ifndef UPDATE_SERVER_TOKEN_H
#define UPDATE_SERVER_TOKEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace update_server {

// Standard alphabet with "=" padding.
std::string Base64(const uint8_t* data, size_t size);
// URL alphabet ("-" and "_"), no padding.
std::string Base64Url(const std::string& data);

std::string HmacSha256(const std::string& key, const std::string& message);

// The header names the algorithm; the payload is the JSON text as given.
std::string MakeToken(const std::string& key, const std::string& payloadJson);

}  // namespace update_server

#endif
