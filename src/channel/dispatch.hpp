#pragma once
// The agent's request handler: nonce rule, MAC check, and the operations it serves.
#include <string>

#include <nlohmann/json.hpp>

namespace guardian {

struct ChannelContext;

// context is the agent's AgentContext, seen as the part the channel reads.
nlohmann::json dispatch_request(ChannelContext& context, const nlohmann::json& request);
nlohmann::json make_error_reply(const ChannelContext& context, const std::string& nonce, const std::string& code);

// Writes the count of bad-MAC requests that got no line of their own, when the budget allows
// (always with force, for the last line at the end).
void log_unreported_bad_macs(ChannelContext& context, bool force);

}  // namespace guardian
