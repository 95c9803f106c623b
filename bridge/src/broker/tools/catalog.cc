#include "broker/tools/catalog.h"

#include <string>

#include "broker/tools/table.h"

namespace velkor::broker::tools {
namespace {

protocol::json::Json property(const Argument& argument) {
  protocol::json::Json schema = protocol::json::Json::object();
  switch (argument.shape) {
    case Shape::kString:
      schema["type"] = "string";
      schema["description"] = std::string(argument.description);
      break;
    case Shape::kNonNegativeInteger:
      schema["type"] = "integer";
      schema["minimum"] = 0;
      schema["description"] = std::string(argument.description);
      break;
    case Shape::kInteger:
      schema["type"] = "integer";
      break;
  }
  return schema;
}

protocol::json::Json tool_object(const ToolEntry& tool) {
  protocol::json::Json properties = protocol::json::Json::object();
  for (const Argument& argument : tool.arguments) {
    properties[std::string(argument.name)] = property(argument);
  }
  protocol::json::Json required = protocol::json::Json::array();
  for (std::string_view name : tool.required) required.push_back(std::string(name));

  protocol::json::Json schema = protocol::json::Json::object();
  schema["type"] = "object";
  schema["properties"] = std::move(properties);
  schema["required"] = std::move(required);
  schema["additionalProperties"] = false;

  protocol::json::Json object = protocol::json::Json::object();
  object["name"] = std::string(tool.name);
  object["description"] = std::string(tool.description);
  object["inputSchema"] = std::move(schema);
  return object;
}

}  // namespace

protocol::json::Json catalog() {
  protocol::json::Json tools = protocol::json::Json::array();
  for (const ToolEntry& tool : tool_table()) tools.push_back(tool_object(tool));
  return tools;
}

}  // namespace velkor::broker::tools
