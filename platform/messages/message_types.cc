#include "platform/messages/message_types.h"

#include <algorithm>
#include <typeindex>
#include <unordered_map>

#include <thrift/protocol/TProtocolException.h>

namespace tembrolexinplatform {

namespace {

struct Row {
  int32_t id;
  std::string_view name;
  std::type_index type;
  std::unique_ptr<::apache::thrift::TBase> (*create)();
};

template <typename T>
std::unique_ptr<::apache::thrift::TBase> create() {
  return std::make_unique<T>();
}

// Built on first use (thread-safe static initialisation), never changed and
// never destroyed: app and library threads may still look types up while the
// process exits, so none of the tables below has a destructor that runs.
const std::vector<Row>& rows() {
  static const std::vector<Row>& table = *new std::vector<Row>{
#define TL_PLATFORM_MESSAGE_ROW(Struct, Id) {Id, #Struct, std::type_index(typeid(Struct)), &create<Struct>},
      TL_PLATFORM_MESSAGE_TYPES(TL_PLATFORM_MESSAGE_ROW)
#undef TL_PLATFORM_MESSAGE_ROW
  };
  return table;
}

const Row* rowForId(int32_t typeId) {
  for (const Row& row : rows()) {
    if (row.id == typeId) return &row;
  }
  return nullptr;
}

}  // namespace

const std::vector<int32_t>& allMessageTypeIds() {
  static const std::vector<int32_t>& ids = *[] {
    std::vector<int32_t> out;
    for (const Row& row : rows()) out.push_back(row.id);
    std::sort(out.begin(), out.end());
    return new std::vector<int32_t>(std::move(out));
  }();
  return ids;
}

std::unique_ptr<::apache::thrift::TBase> newMessageForTypeId(int32_t typeId) {
  const Row* row = rowForId(typeId);
  return row ? row->create() : nullptr;
}

std::string_view messageNameForTypeId(int32_t typeId) {
  const Row* row = rowForId(typeId);
  return row ? row->name : std::string_view();
}

std::optional<int32_t> messageTypeIdOf(const ::apache::thrift::TBase& msg) {
  static const std::unordered_map<std::type_index, int32_t>& byType = *[] {
    auto* out = new std::unordered_map<std::type_index, int32_t>();
    for (const Row& row : rows()) out->emplace(row.type, row.id);
    return out;
  }();
  auto it = byType.find(std::type_index(typeid(msg)));
  if (it == byType.end()) return std::nullopt;
  return it->second;
}

void validateConfigParam(const ConfigParam& param) {
  if (!param.__isset.type) {
    throw ::apache::thrift::protocol::TProtocolException(
        ::apache::thrift::protocol::TProtocolException::INVALID_DATA,
        "Required field 'type' is not set.");
  }
}

}  // namespace tembrolexinplatform
