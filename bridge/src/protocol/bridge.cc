#include "protocol/bridge.h"

#include <utility>

#include "protocol/line.h"
#include "protocol/record.h"

namespace velkor::protocol {
namespace {

// Most requests and replies are far below this, so one allocation suffices.
constexpr std::size_t kLineReserve = 128;

Result<void> write_line(Sink& out, std::string line) {
  line += '\n';
  return out.write_all(line);
}

}  // namespace

std::string serialize(const BridgeReq& req) {
  std::string out;
  out.reserve(kLineReserve);
  out += "{\"id\":";
  out += std::to_string(req.id);
  out += ",\"op\":";
  json::dump_to(out, json::Json(req.op));
  if (req.tab_id) {
    out += ",\"tab_id\":";
    out += std::to_string(*req.tab_id);
  }
  if (!req.args.is_null()) {
    out += ",\"args\":";
    json::dump_to(out, req.args);
  }
  out += '}';
  return out;
}

std::string serialize(const BridgeResp& resp) {
  std::string out;
  out.reserve(kLineReserve);
  out += "{\"id\":";
  out += std::to_string(resp.id);
  out += resp.ok ? ",\"ok\":true" : ",\"ok\":false";
  if (resp.data) {
    out += ",\"data\":";
    json::dump_to(out, *resp.data);
  }
  if (resp.error) {
    out += ",\"error\":";
    json::dump_to(out, json::Json(*resp.error));
  }
  out += '}';
  return out;
}

Result<BridgeResp> parse_bridge_resp(std::string_view line) {
  auto parsed = json::parse(line);
  if (!parsed) return Unexpected(std::move(parsed).error());
  json::Json& root = parsed->value;
  if (!root.is_object()) {
    return Unexpected(
        shape_error(line, "invalid type: expected object, found " + std::string(type_name(root))));
  }
  if (auto dup = find_duplicate(line, *parsed, {"id", "ok", "data", "error"})) {
    return Unexpected(std::move(*dup));
  }

  BridgeResp resp;
  auto id = root.find("id");
  if (id == root.end()) return Unexpected(shape_error(line, "missing field `id`"));
  if (!id->is_number_integer()) return Unexpected(type_error(line, "id", "integer", *id));
  std::optional<std::uint64_t> id_value = json::as_u64(*id);
  if (!id_value) {
    return Unexpected(shape_error(
        line,
        "invalid value for field `id`: expected a non-negative integer, found " + json::dump(*id)));
  }
  resp.id = *id_value;

  auto ok = root.find("ok");
  if (ok == root.end()) return Unexpected(shape_error(line, "missing field `ok`"));
  if (!ok->is_boolean()) return Unexpected(type_error(line, "ok", "boolean", *ok));
  resp.ok = *ok->get_ptr<const bool*>();

  resp.data = optional_member(root, "data");
  auto error = optional_string(line, root, "error");
  if (!error) return Unexpected(std::move(error).error());
  resp.error = std::move(*error);
  return resp;
}

Result<std::optional<BridgeResp>> bridge_read(BufReader& in) {
  return read_record(in, parse_bridge_resp);
}

Result<void> bridge_write(Sink& out, const BridgeReq& req) {
  return write_line(out, serialize(req));
}

Result<void> bridge_write(Sink& out, const BridgeResp& resp) {
  return write_line(out, serialize(resp));
}

Result<void> bridge_write_value(Sink& out, const json::Json& value) {
  return write_line(out, json::dump(value));
}

}  // namespace velkor::protocol
