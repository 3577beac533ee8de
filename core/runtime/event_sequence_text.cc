#include "core/runtime/event_sequence_text.h"

#include <json/json.h>

#include <cmath>
#include <memory>

#include "core/runtime/json_text.h"

namespace tembrolexinsdk {

namespace {

// A JSON value usable as an id: text, number or bool.
bool scalar(const Json::Value& v) { return v.isString() || v.isNumeric() || v.isBool(); }

bool finiteSeconds(const Json::Value& v, double& out) {
  if (!v.isNumeric()) return false;
  out = v.asDouble();
  return std::isfinite(out) && std::fabs(out) <= EventSequenceText::kMaxSeconds;
}

// Reads the entries of `list` ("events" with key "time", "ticks" with key
// "period") into `out`; false with `error` set on the first bad element.
bool readEntries(const Json::Value& list, const char* listName, const char* key,
                 std::vector<EventSequenceText::Entry>& out, std::string& error) {
  if (list.isNull()) return true;
  if (!list.isArray()) {
    error = std::string("\"") + listName + "\" is not an array";
    return false;
  }
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const Json::Value& element = list[i];
    const std::string where = std::string(listName) + "[" + std::to_string(i) + "]";
    if (!element.isObject()) {
      error = where + " is not an object";
      return false;
    }
    const Json::Value& id = element["id"];
    const Json::Value& value = element[key];
    if (id.isNull() || value.isNull()) continue;
    if (!scalar(id)) {
      error = "\"id\" of " + where + " is neither text, a number nor a bool";
      return false;
    }
    double seconds = 0;
    if (!finiteSeconds(value, seconds)) {
      error = std::string("\"") + key + "\" of " + where + " (id " + id.asString() +
              ") is not a finite number of seconds within 1e12";
      return false;
    }
    out.push_back({id.asString(), seconds});
  }
  return true;
}

}  // namespace

std::optional<EventSequenceText> parseEventSequenceText(const std::string& json,
                                                        std::string* error) {
  std::string reason;
  const auto refuse = [&]() -> std::optional<EventSequenceText> {
    if (error != nullptr) *error = reason;
    return std::nullopt;
  };
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  const LocaleFreeJson prepared(json);
  const std::string& text = prepared.text();
  bool parsed = false;
  try {
    parsed = reader->parse(text.data(), text.data() + text.size(), &root, &reason);
  } catch (const Json::Exception& e) {
    reason = e.what();  // nesting beyond the reader's depth limit
  }
  if (!parsed) {
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    if (reason.empty()) reason = "not JSON";
    return refuse();
  }
  if (!root.isObject()) {
    reason = "the text is not a JSON object";
    return refuse();
  }
  if (!prepared.restore(root)) {
    reason = "a number stands where an object's key goes";
    return refuse();
  }
  EventSequenceText sequence;
  if (!readEntries(root["events"], "events", "time", sequence.events, reason) ||
      !readEntries(root["ticks"], "ticks", "period", sequence.ticks, reason)) {
    return refuse();
  }
  if (error != nullptr) error->clear();
  return sequence;
}

}  // namespace tembrolexinsdk
