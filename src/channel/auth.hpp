#pragma once
// Authentication of the local channel: the channel key, request and reply MACs, and the
// request and reply envelopes.
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "store/hex.hpp"

namespace guardian {

class ProtectedStore;

inline constexpr wchar_t kChannelFile[] = L"channel.bin";
inline constexpr size_t kChannelSecretSize = 32;
inline constexpr size_t kMaxNonceBytes = 128;

// The 32-byte channel secret from "channel.bin", created on first use. Empty after a
// failure, which has been logged; failure (optional) then says why when it was the creation
// of a new file that failed (empty when the file that is there gives no secret).
Bytes load_or_create_channel_secret(const ProtectedStore& store, std::string* failure = nullptr);

// What "channel.bin" is to a reader with the store's fingerprint, found quietly (no log line):
// it opens (a sealed 32-byte secret), it is missing, or it exists and does not open (cannot
// be read or unsealed, or holds another length).
enum class ChannelFileState { opens, missing, does_not_open };
ChannelFileState probe_channel_file(const ProtectedStore& store);

// Why "channel.bin" gives no secret to a reader with the store's fingerprint, in words for an
// administrator. The program never removes the file itself: when it reads but does not hold a
// secret for this device, the remedy is to renew it (channel_renewal_steps).
struct ChannelFileProblem {
  enum class Kind {
    none,              // it opens, or it is missing
    unreadable,        // it cannot be read (text: the Windows error)
    sealed_elsewhere,  // it reads, but does not unseal: another device fingerprint's
    not_a_secret,      // it unseals, but does not hold 32 bytes
    folder,            // a folder stands where it belongs
  };
  Kind kind = Kind::none;
  std::string text;  // what the file does, for "channel.bin " or its path to lead: "was sealed under ..."
  unsigned long error = 0;  // unreadable: the Windows error
};
ChannelFileProblem channel_file_problem(const ProtectedStore& store);

// How an administrator removes a folder standing at path, where channel.bin belongs.
std::string channel_folder_steps(const std::string& path);

// How an administrator renews the secret at path.
std::string channel_renewal_steps(const std::string& path);

// The channel key from "channel.bin" under the store's fingerprint, quietly: key is set only
// when the file opens (the result says what the file was to this reader).
ChannelFileState load_channel_key(const ProtectedStore& store, std::string_view fingerprint, Bytes& key);

// The channel key of a process that only reads "channel.bin" (the test tools and benchmarks;
// the clients use load_channel_key): false when the file is unreadable or does not hold a 32-byte secret.
bool read_channel_key(const ProtectedStore& store, std::string_view fingerprint, Bytes& key);

// SHA-256 of the fixed label, the secret and the fingerprint text.
Bytes derive_channel_key(const Bytes& secret, std::string_view fingerprint);

// HMAC-SHA256 of op "|" nonce.
std::string request_mac(const Bytes& key, std::string_view op, std::string_view nonce);

// HMAC-SHA256 of the body's canonical JSON form.
std::string body_mac(const Bytes& key, const nlohmann::json& body);

// Equal length and equal after folding A-F to a-f; the walk never stops early.
bool mac_equal(std::string_view received, std::string_view expected);

// True when received is the request MAC of op and nonce. A MAC that cannot be computed
// never matches, not even an empty one.
bool request_mac_valid(const Bytes& key, std::string_view op, std::string_view nonce, std::string_view received);

// {"body": body + {"nonce"}, "mac": body_mac, "nonce": nonce, "ok": ok}
nlohmann::json make_reply(const Bytes& key, bool ok, const std::string& nonce, nlohmann::json body);

// The reply's body carries expected_nonce and its MAC matches the body.
bool verify_reply(const Bytes& key, const nlohmann::json& reply, std::string_view expected_nonce);

// {"ok": false, "body": {"error": code}}: the unauthenticated rejection of the pipe server.
nlohmann::json rejection_reply(std::string_view code);

// A request member read as text: absent or not a string reads as "".
std::string member_text(const nlohmann::json& object, const char* name);

// {"mac", "nonce", "op"}: a request envelope as the system's clients send it.
nlohmann::json make_request(const Bytes& key, const std::string& op, const std::string& nonce);

}  // namespace guardian
