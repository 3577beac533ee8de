#include "platform/engines/sync_engine_values.h"

#include <utility>

namespace tembrolexinplatform {

namespace {

using Member = std::pair<const char*, int64_t>;

// One object per row, members in the given order, two spaces per level.
std::string renderRows(const std::vector<std::vector<Member>>& rows) {
  if (rows.empty()) return "[]";
  std::string out = "[\n";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    out += "  {\n";
    const auto& members = rows[r];
    for (std::size_t m = 0; m < members.size(); ++m) {
      out += "    \"";
      out += members[m].first;
      out += "\" : ";
      out += std::to_string(members[m].second);
      out += m + 1 < members.size() ? ",\n" : "\n";
    }
    out += r + 1 < rows.size() ? "  },\n" : "  }\n";
  }
  out += "]";
  return out;
}

}  // namespace

std::string syncEventName(int64_t status) {
  switch (status) {
    case 0:
      return "Sync";
    case 1:
      return "Desync";
    default:
      return "UnexpectedEvent";
  }
}

TLEventEngine2Event TLEventEngine2Event::initWithId(std::string id, int64_t type,
                                                    int64_t timeInTrack, int64_t status,
                                                    TLDate date) {
  return TLEventEngine2Event(type, status, std::move(id), syncEventName(status), date, timeInTrack);
}

TLEventEngine2Event TLEventEngine2Event::initWithEvent(std::string event, std::string id,
                                                       int64_t timeInTrack, int64_t type,
                                                       TLDate date, int64_t status) {
  return TLEventEngine2Event(type, status, std::move(id), std::move(event), date, timeInTrack);
}

TLHeartbeatEngineEvent TLHeartbeatEngineEvent::initWithId(std::string stationId, int64_t timeInYear,
                                                          int64_t msecsSinceEpoch, int64_t status,
                                                          TLDate date,
                                                          int64_t msecsSinceEpochDeviceTime) {
  return TLHeartbeatEngineEvent(status, std::move(stationId), syncEventName(status), date,
                                timeInYear, msecsSinceEpoch, msecsSinceEpochDeviceTime);
}

TLHeartbeatEngineEvent TLHeartbeatEngineEvent::initWithEvent(std::string event,
                                                             std::string stationId,
                                                             int64_t timeInYear,
                                                             int64_t msecsSinceEpoch, int64_t type,
                                                             TLDate date,
                                                             int64_t msecsSinceEpochDeviceTime) {
  return TLHeartbeatEngineEvent(type, std::move(stationId), std::move(event), date, timeInYear,
                                msecsSinceEpoch, msecsSinceEpochDeviceTime);
}

std::string TLEventEngine2Priority::jsonPriorities() const {
  std::vector<std::vector<Member>> rows;
  for (const TrackSetting& t : rows_) {
    rows.push_back({{"trackId", t.trackId}, {"secondsIn", t.secondsIn}, {"durationSecs", t.durationSecs}});
  }
  return renderRows(rows);
}

std::string TLHeartbeatPriority::jsonPriorities() const {
  std::vector<std::vector<Member>> rows;
  for (const StationSetting& s : rows_) rows.push_back({{"id", s.stationId}, {"lag", s.lag}});
  return renderRows(rows);
}

}  // namespace tembrolexinplatform
