// The identity document that the agent reads back from its identity pass in a child process:
// any text, parsed as the agent parses it, through identity_from_document. A refused document
// leaves the identity alone; an accepted one is read whole (its fingerprint, parts and
// inventory, written out again, give the document back), and the agent can serve it: the
// "specs" reply that carries it reaches a client, which parses it and finds it authentic.
// libFuzzer dictionary: json.dict
#include "channel/dispatch.hpp"
#include "device/identity.hpp"
#include "fuzz_support.hpp"
#include "runtime/agent_context.hpp"

namespace {

using nlohmann::json;

json specs_reply(const guardian::DeviceIdentity& identity) {
  static guardian::AgentContext context(L"C:\\storage", L"C:\\install");
  context.identity = identity;
  context.channel_key = guardian::fuzz::channel_key();
  return guardian::dispatch_request(context, json{{"op", "specs"}, {"nonce", "n"}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const json document = guardian::parse_json(text.begin(), text.end());

  guardian::DeviceIdentity identity;
  identity.fingerprint = "untouched";
  if (!guardian::identity_from_document(document, identity)) {
    FUZZ_CHECK(identity.fingerprint == "untouched" && identity.parts.empty());
    return 0;
  }
  FUZZ_CHECK(guardian::fuzz::is_lower_hex(identity.fingerprint, 64));
  FUZZ_CHECK(identity.components.empty() && identity.empty_queries.empty());
  const json again = guardian::identity_document(identity);
  FUZZ_CHECK(again.size() == 3 && again["fp"] == document["fp"] && again["fp_parts"] == document["fp_parts"] &&
             again["hw"] == document["hw"]);

  const json reply = specs_reply(identity);
  const std::string wire = guardian::compact_json(reply);
  const json received = guardian::parse_json(wire.begin(), wire.end());
  FUZZ_CHECK(!received.is_discarded() && received == reply);
  FUZZ_CHECK(guardian::verify_reply(guardian::fuzz::channel_key(), received, "n"));
  FUZZ_CHECK(received["body"]["hw"] == document["hw"]);
  return 0;
}
