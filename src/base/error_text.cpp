// Portable: no Windows headers.
#include <cstdio>

#include "base/text.hpp"

namespace guardian {

std::string compose_error_text(std::string_view message, unsigned long code) {
  auto is_blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!message.empty() && is_blank(message.front())) message.remove_prefix(1);
  while (!message.empty() && is_blank(message.back())) message.remove_suffix(1);
  char code_part[24];
  std::snprintf(code_part, sizeof code_part, " (0x%08lX)", code);
  std::string out(message);
  out += code_part;
  return out;
}

std::string_view winhttp_error_fallback(unsigned long code) {
  switch (code) {
    case 12001: return "No more WinHTTP handles could be made";
    case 12002: return "The operation timed out";
    case 12004: return "An internal error occurred in WinHTTP";
    case 12005: return "The URL is invalid";
    case 12006: return "The URL's scheme is not supported";
    case 12007: return "The server name could not be resolved";
    case 12009: return "The option is not valid";
    case 12011: return "The option cannot be set";
    case 12012: return "WinHTTP has been shut down";
    case 12017: return "The operation was cancelled";
    case 12019: return "The handle is not in a state for this operation";
    case 12029: return "A connection to the server could not be made";
    case 12030: return "The connection to the server was reset or ended";
    case 12032: return "The request must be sent again";
    case 12037: return "The server's certificate has expired or is not valid yet";
    case 12038: return "The server's certificate is for another host name";
    case 12044: return "The server asks for a client certificate";
    case 12045: return "The server's certificate was issued by an authority that is not trusted";
    case 12057: return "Whether the server's certificate was revoked could not be checked";
    case 12150: return "The header was not found";
    case 12152: return "The server's response could not be read";
    case 12153: return "A header is not valid";
    case 12156: return "A redirection failed";
    case 12157: return "The secure channel (TLS) to the server failed";
    case 12166: return "The proxy auto-configuration script is not valid";
    case 12167: return "The proxy auto-configuration script could not be downloaded";
    case 12169: return "The server's certificate is not valid";
    case 12170: return "The server's certificate has been revoked";
    case 12172: return "WinHTTP was not initialised";
    case 12175: return "The server's certificate failed a security check";
    case 12178: return "The proxy auto-detection service failed";
    case 12179: return "The server's certificate is not meant for server authentication";
    case 12180: return "The proxy could not be detected";
    case 12181: return "The response has too many headers";
    case 12182: return "The response's headers are too large";
    case 12183: return "A chunk header of the response is too large";
    case 12184: return "The response is too large to drain";
    case 12185: return "The client certificate has no private key";
    default: return {};
  }
}

std::string duration_text(unsigned long ms) {
  return ms != 0 && ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace guardian
