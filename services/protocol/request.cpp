#include "request.h"

namespace mirelo::services {

std::optional<Request> parseRequest(std::optional<Json> value) {
  if (!value || !value->is_object()) return std::nullopt;
  auto id = value->find("id");
  auto command = value->find("command");
  if (id == value->end() || !id->is_string()) return std::nullopt;
  if (command == value->end() || !command->is_string()) return std::nullopt;
  Request request{std::move(id->get_ref<std::string&>()), std::move(command->get_ref<std::string&>()), Json::object()};
  if (auto payload = value->find("payload"); payload != value->end() && payload->is_object()) {
    request.payload = std::move(*payload);
  }
  return request;
}

std::optional<Request> parseRequest(JsonReader& loaded, const std::function<bool(std::string_view)>& wantsPayload) {
  const auto id = loaded.loadedString("id");
  const auto command = loaded.loadedString("command");
  if (!id || !command) return std::nullopt;
  Request request{std::string(*id), std::string(*command), Json::object()};
  if (!wantsPayload || wantsPayload(*command)) {
    Json value = loaded.take();
    if (auto payload = value.find("payload"); payload != value.end() && payload->is_object()) {
      request.payload = std::move(*payload);
    }
  }
  return request;
}

}  // namespace mirelo::services
