#include "core/analytics/analytics_message.h"

#include "core/runtime/time_text.h"

namespace tembrolexinsdk {

AnalyticsMessage::AnalyticsMessage(const std::string& name) : AnalyticsMessage(name, timestamp()) {}

AnalyticsMessage::AnalyticsMessage(const std::string& name, int64_t timeMs)
    : name_(name), time_(timeMs) {}

AnalyticsMessage::AnalyticsMessage(const AnalyticsMessage& other)
    : name_(other.name_), time_(other.time_) {
  elements_.reserve(other.elements_.size());
  for (const auto& [key, element] : other.elements_) elements_.emplace_back(key, element->clone());
}

AnalyticsMessage::AnalyticsMessage(AnalyticsMessage&& other) noexcept
    : name_(std::move(other.name_)), time_(other.time_), elements_(std::move(other.elements_)) {
  other.name_.clear();
  other.elements_.clear();
}

AnalyticsMessage& AnalyticsMessage::operator=(AnalyticsMessage other) noexcept {
  swap(*this, other);
  return *this;
}

void swap(AnalyticsMessage& a, AnalyticsMessage& b) noexcept {
  using std::swap;
  swap(a.name_, b.name_);
  swap(a.time_, b.time_);
  swap(a.elements_, b.elements_);
}

int64_t AnalyticsMessage::timestamp() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

AnalyticsMessage& AnalyticsMessage::add(const std::string& key, int value) {
  elements_.emplace_back(key, std::make_unique<AnalyticsElement<int>>(value));
  return *this;
}

AnalyticsMessage& AnalyticsMessage::add(const std::string& key, long long value) {
  elements_.emplace_back(key, std::make_unique<AnalyticsElement<long long>>(value));
  return *this;
}

AnalyticsMessage& AnalyticsMessage::add(const std::string& key, std::string value) {
  elements_.emplace_back(key, std::make_unique<AnalyticsElement<std::string>>(std::move(value)));
  return *this;
}

std::string AnalyticsMessage::toString() const {
  std::string text = "Analytics";
  for (const auto& [key, element] : elements_) text += "," + key + ":" + element->toString();
  return text;
}

JsonRecordWriter::JsonRecordWriter(const std::string& name, std::chrono::milliseconds time,
                                   unsigned long long /*elementCount*/)
    : id_(name), time_(time) {}

void JsonRecordWriter::set(const std::string& key, Json::Value value) {
  if (root_.isNull()) {
    root_["id"] = id_;
    root_["timestamp"] = tembrolexin::TimeUtilities::formatIntoString(
        static_cast<int64_t>(time_.count()), "%Y-%m-%dT%H:%M:%SZ",
        tembrolexin::TimeUtilities::kUTC);
  }
  root_[key] = std::move(value);
}

void JsonRecordWriter::add(const std::string& key, const int& value) { set(key, Json::Value(value)); }
void JsonRecordWriter::add(const std::string& key, const long long& value) {
  set(key, Json::Value(static_cast<Json::Int64>(value)));
}
void JsonRecordWriter::add(const std::string& key, const double& value) {
  set(key, Json::Value(value));
}
void JsonRecordWriter::add(const std::string& key, const std::string& value) {
  set(key, Json::Value(value));
}

std::string JsonRecordWriter::write() {
  // Compact, one line, members in key order, "\n" at the end: the form of
  // JsonCpp's FastWriter, which newer JsonCpp marks deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::FastWriter writer;
  return writer.write(root_);
#pragma GCC diagnostic pop
}

}  // namespace tembrolexinsdk
