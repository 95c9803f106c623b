#include "protocol/mcp.h"

#include <limits>
#include <utility>

#include "protocol/json_fast.h"
#include "protocol/line.h"
#include "protocol/record.h"

namespace velkor::protocol {
namespace {

Result<RpcError> parse_rpc_error(std::string_view line, json::Json& object) {
  RpcError error;
  json::Json* code = present_member(object, "code");
  if (code == nullptr) {
    // A null code is no code at all for a required integer.
    if (object.contains("code")) return Unexpected(type_error(line, "code", "integer", nullptr));
    return Unexpected(shape_error(line, "missing field `code`"));
  }
  if (!code->is_number_integer()) return Unexpected(type_error(line, "code", "integer", *code));
  std::optional<std::int64_t> wide = json::as_i64(*code);
  if (!wide || *wide < std::numeric_limits<std::int32_t>::min() ||
      *wide > std::numeric_limits<std::int32_t>::max()) {
    return Unexpected(shape_error(
        line,
        "invalid value for field `code`: expected a 32-bit integer, found " + json::dump(*code)));
  }
  error.code = static_cast<std::int32_t>(*wide);

  auto it = object.find("message");
  if (it == object.end()) return Unexpected(shape_error(line, "missing field `message`"));
  if (!it->is_string()) return Unexpected(type_error(line, "message", "string", *it));
  error.message = std::move(*it->get_ptr<std::string*>());

  error.data = optional_member(object, "data");
  return error;
}

// Whether `body` is exactly what serialize_jsonrpc writes for what
// parse_jsonrpc reads from it, and if so whether it has an id. Lines with an
// error member are left to the full path: theirs are rare and small.
std::optional<bool> written_jsonrpc(std::string_view body) {
  auto members = json::fast::written_members(body);
  if (!members || members->empty()) return std::nullopt;
  // The order serialize_jsonrpc writes; each at most once.
  static constexpr std::string_view kOrder[] = {"jsonrpc", "id", "method", "params", "result"};
  std::size_t next = 0;
  bool has_id = false;
  for (const json::fast::Member& m : *members) {
    while (next < std::size(kOrder) && kOrder[next] != m.key) ++next;
    if (next == std::size(kOrder)) return std::nullopt;
    // A null member reads as absent and would not be written back.
    if (m.value == "null") return std::nullopt;
    if ((next == 0 || next == 2) && m.value.front() != '"') return std::nullopt;
    has_id = has_id || next == 1;
    ++next;
  }
  // Without "jsonrpc" the writer puts a null one first.
  if (members->front().key != "jsonrpc") return std::nullopt;
  return has_id;
}

}  // namespace

JsonRpc JsonRpc::err(json::Json id, std::int32_t code, std::string message) {
  JsonRpc m;
  m.jsonrpc = "2.0";
  m.id = std::move(id);
  m.error = RpcError{code, std::move(message), std::nullopt};
  return m;
}

JsonRpc JsonRpc::ok(json::Json id, json::Json result) {
  JsonRpc m;
  m.jsonrpc = "2.0";
  m.id = std::move(id);
  m.result = std::move(result);
  return m;
}

Result<JsonRpc> parse_jsonrpc(std::string_view line) {
  auto parsed = json::parse(line);
  if (!parsed) return Unexpected(std::move(parsed).error());
  json::Json& root = parsed->value;
  if (!root.is_object()) {
    return Unexpected(
        shape_error(line, "invalid type: expected object, found " + std::string(type_name(root))));
  }
  if (auto dup =
          find_duplicate(line, *parsed, {"jsonrpc", "id", "method", "params", "result", "error"})) {
    return Unexpected(std::move(*dup));
  }

  JsonRpc m;
  auto jsonrpc = optional_string(line, root, "jsonrpc");
  if (!jsonrpc) return Unexpected(std::move(jsonrpc).error());
  m.jsonrpc = std::move(*jsonrpc);
  m.id = optional_member(root, "id");
  auto method = optional_string(line, root, "method");
  if (!method) return Unexpected(std::move(method).error());
  m.method = std::move(*method);
  m.params = optional_member(root, "params");
  m.result = optional_member(root, "result");
  if (json::Json* error = present_member(root, "error")) {
    if (!error->is_object()) return Unexpected(type_error(line, "error", "object", *error));
    auto rpc_error = parse_rpc_error(line, *error);
    if (!rpc_error) return Unexpected(std::move(rpc_error).error());
    m.error = std::move(*rpc_error);
  }
  return m;
}

std::string serialize_jsonrpc(const JsonRpc& m) {
  std::string out;
  // One allocation even for a screenshot's answer, room for the line feed
  // included; regrowing would copy it and double its footprint.
  std::size_t hint = 128;
  if (m.id) hint += json::fast::size_hint(*m.id);
  if (m.params) hint += json::fast::size_hint(*m.params);
  if (m.result) hint += json::fast::size_hint(*m.result);
  if (m.error)
    hint += m.error->message.size() + (m.error->data ? json::fast::size_hint(*m.error->data) : 0);
  out.reserve(hint);
  out += "{\"jsonrpc\":";
  if (m.jsonrpc) {
    json::dump_to(out, json::Json(*m.jsonrpc));
  } else {
    out += "null";
  }
  if (m.id) {
    out += ",\"id\":";
    json::dump_to(out, *m.id);
  }
  if (m.method) {
    out += ",\"method\":";
    json::dump_to(out, json::Json(*m.method));
  }
  if (m.params) {
    out += ",\"params\":";
    json::dump_to(out, *m.params);
  }
  if (m.result) {
    out += ",\"result\":";
    json::dump_to(out, *m.result);
  }
  if (m.error) {
    out += ",\"error\":{\"code\":";
    out += std::to_string(m.error->code);
    out += ",\"message\":";
    json::dump_to(out, json::Json(m.error->message));
    if (m.error->data) {
      out += ",\"data\":";
      json::dump_to(out, *m.error->data);
    }
    out += '}';
  }
  out += '}';
  return out;
}

Result<std::optional<JsonRpc>> mcp_read(BufReader& in) { return read_record(in, parse_jsonrpc); }

Result<std::optional<bool>> mcp_relay(BufReader& in, Sink& out) {
  std::string line;
  auto got = read_message_line(in, line);
  if (!got) return Unexpected(std::move(got).error());
  if (!*got) return std::optional<bool>();
  std::string_view body = line;
  if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
  if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
  if (std::optional<bool> has_id = written_jsonrpc(body)) {
    line.resize(body.size());
    line += '\n';
    if (auto w = out.write_all(line); !w) return Unexpected(std::move(w).error());
    return std::optional<bool>(*has_id);
  }
  auto message = parse_jsonrpc(line);
  if (!message) return Unexpected(std::move(message).error());
  if (auto w = mcp_write(out, *message); !w) return Unexpected(std::move(w).error());
  return std::optional<bool>(!message->is_notification());
}

Result<void> mcp_write(Sink& out, const JsonRpc& message) {
  std::string line = serialize_jsonrpc(message);
  line += '\n';
  return out.write_all(line);
}

}  // namespace velkor::protocol
