// Analytics records and their serialisation.
//
// AnalyticsMessage: one named, time-stamped record with an ordered list of
// typed values (int, long long, std::string) under keys that need not be
// unique. A record serialises through a RecordWriterStrategy made for it:
//
//   AnalyticsMessage record("DECODINGSTATUS");
//   record.add("status", std::string("start"));
//   std::string line = serialise<JsonRecordWriter>(record);
//   // {"id":"DECODINGSTATUS","status":"start","timestamp":"2021-03-04T05:06:07Z"}\n
//
// JsonRecordWriter writes one compact JSON object per record, members in
// ascending key order, with "id" (the record name) and "timestamp" (UTC,
// whole seconds, "%Y-%m-%dT%H:%M:%SZ") added before the first value; a later
// value under the same key replaces the earlier one. A record without values
// is written as "null". The line ends in "\n".
//
// Thread safety: a record is owned by one thread at a time and its values
// never change after they are added; strategies are local to one call.
#ifndef TL_CORE_ANALYTICS_ANALYTICS_MESSAGE_H_
#define TL_CORE_ANALYTICS_ANALYTICS_MESSAGE_H_

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace tembrolexinsdk {

class RecordWriterStrategy {
 public:
  virtual ~RecordWriterStrategy() = default;
  // The finished text of the record, line ending included.
  virtual std::string write() = 0;
  virtual void add(const std::string& key, const int& value) = 0;
  virtual void add(const std::string& key, const long long& value) = 0;
  virtual void add(const std::string& key, const double& value) = 0;
  virtual void add(const std::string& key, const std::string& value) = 0;
};

class AbstractAnalyticsElement {
 public:
  virtual ~AbstractAnalyticsElement() = default;
  // The value as the stream insertion operator writes it.
  virtual std::string toString() const = 0;
  virtual std::unique_ptr<AbstractAnalyticsElement> clone() const = 0;
  // Hands the value to the writer's add() of its type.
  virtual void addTo(const std::string& key, RecordWriterStrategy& writer) const = 0;
};

template <typename T>
class AnalyticsElement : public AbstractAnalyticsElement {
 public:
  explicit AnalyticsElement(T value) : value_(std::move(value)) {}
  std::string toString() const override {
    std::ostringstream s;
    s << value_;
    return s.str();
  }
  std::unique_ptr<AbstractAnalyticsElement> clone() const override {
    return std::make_unique<AnalyticsElement<T>>(value_);
  }
  void addTo(const std::string& key, RecordWriterStrategy& writer) const override {
    writer.add(key, value_);
  }
  const T& value() const { return value_; }

 private:
  T value_;
};

class AnalyticsMessage {
 public:
  using Elements = std::vector<std::pair<std::string, std::unique_ptr<AbstractAnalyticsElement>>>;

  // Time stamped now (system clock, whole milliseconds since the epoch).
  explicit AnalyticsMessage(const std::string& name);
  AnalyticsMessage(const std::string& name, int64_t timeMs);
  // Deep copy.
  AnalyticsMessage(const AnalyticsMessage& other);
  // Leaves `other` with an empty name and no elements.
  AnalyticsMessage(AnalyticsMessage&& other) noexcept;
  AnalyticsMessage& operator=(AnalyticsMessage other) noexcept;
  ~AnalyticsMessage() = default;

  // Milliseconds since the epoch now, as a new record is stamped.
  static int64_t timestamp();

  AnalyticsMessage& add(const std::string& key, int value);
  AnalyticsMessage& add(const std::string& key, long long value);
  // A long (int64_t here) is kept as a long long.
  AnalyticsMessage& add(const std::string& key, long value) {
    return add(key, static_cast<long long>(value));
  }
  AnalyticsMessage& add(const std::string& key, std::string value);
  AnalyticsMessage& add(const std::string& key, const char* value) {
    return add(key, std::string(value));
  }

  // "Analytics" followed by "," key ":" value for each element in order.
  std::string toString() const;

  const std::string& name() const { return name_; }
  int64_t time() const { return time_; }
  const Elements& elements() const { return elements_; }

  friend void swap(AnalyticsMessage& a, AnalyticsMessage& b) noexcept;

 private:
  std::string name_;
  int64_t time_;
  Elements elements_;
};

// The record's text through a strategy W constructed from its name, time
// and element count.
template <typename W>
std::string serialise(const AnalyticsMessage& record) {
  W writer(record.name(), std::chrono::milliseconds(record.time()),
           static_cast<unsigned long long>(record.elements().size()));
  for (const auto& [key, element] : record.elements()) element->addTo(key, writer);
  return writer.write();
}

class JsonRecordWriter : public RecordWriterStrategy {
 public:
  JsonRecordWriter(const std::string& name, std::chrono::milliseconds time,
                   unsigned long long elementCount);

  std::string write() override;
  void add(const std::string& key, const int& value) override;
  void add(const std::string& key, const long long& value) override;
  void add(const std::string& key, const double& value) override;
  void add(const std::string& key, const std::string& value) override;

 private:
  void set(const std::string& key, Json::Value value);

  Json::Value root_;
  std::string id_;
  std::chrono::milliseconds time_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_ANALYTICS_MESSAGE_H_
