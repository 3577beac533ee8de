// Reading the timed events of an event text, XML (with expat) or JSON.

#include <expat.h>
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "platform/engines/tl_event_engine.h"
#include "platform/runtime/decoder_errors.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The leading finite decimal number of `text` after blanks; nothing when
// there is none (also for "nan", "inf", values beyond the double range and
// a sign followed by another sign or a blank, "+-5" or "- 5"). Independent
// of the process's locale.
std::optional<double> leadingNumber(const std::string& text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (p < end && *p == '+') {
    ++p;
    // from_chars reads a '-' of its own: "+-5" would read as -5.
    if (p < end && *p == '-') return std::nullopt;
  }
  double value = 0;
  const auto result = std::from_chars(p, end, value, std::chars_format::general);
  if (result.ec != std::errc() || !std::isfinite(value)) return std::nullopt;
  return value;
}

double leadingDouble(const std::string& text) { return leadingNumber(text).value_or(0); }

// Whether the number `text` starts with (after blanks and a sign) is
// hexadecimal, "0x10" or "0X1p4": a reader of C number texts takes it as
// such, where the leading decimal reading sees a 0 followed by letters.
bool startsHexadecimal(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i + 2 >= text.size() || text[i] != '0' || (text[i + 1] != 'x' && text[i + 1] != 'X')) {
    return false;
  }
  i += 2;
  if (text[i] == '.') ++i;  // "0x.8"
  return i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]));
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

TLError decoderError(int64_t code, const char* description) {
  // The key is its own text: the library ships no localisations.
  return TLError{TLDecoderErrorDomain, code, description, ""};
}

struct XmlReading {
  std::vector<TimedEventEngine>* events;
};

void XMLCALL onElementStart(void* userData, const XML_Char* name, const XML_Char** attributes) {
  auto* reading = static_cast<XmlReading*>(userData);
  if (lower(name) != "event") return;
  std::map<std::string, std::string> attrs;
  for (const XML_Char** a = attributes; a[0] && a[1]; a += 2) attrs[a[0]] = a[1];
  const auto id = attrs.find("id");
  const auto time = attrs.find("time");
  const double seconds = time == attrs.end() ? 0 : leadingDouble(time->second);
  if (id != attrs.end()) {
    reading->events->push_back(TimedEventEngine{id->second, seconds, false});
  } else if (seconds > 0) {
    reading->events->push_back(TimedEventEngine{std::nullopt, seconds, false});
  } else {
    std::string described;
    for (const auto& [key, value] : attrs) {
      described += (described.empty() ? "" : "; ") + key + " = \"" + value + "\"";
    }
    described = "{" + described + "}";
    TLLogger::errorInMethod("-[ParseEventsDelegate parser:didStartElement:]", __LINE__,
                            "Invalid %s or %s in timed event XML: %s", "id", "time",
                            described.c_str());
  }
}

std::optional<std::vector<TimedEventEngine>> parseXml(const std::string& text) {
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"),
                                                                      &XML_ParserFree);
  if (!parser) return std::nullopt;
  std::vector<TimedEventEngine> events;
  XmlReading reading{&events};
  XML_SetUserData(parser.get(), &reading);
  XML_SetStartElementHandler(parser.get(), &onElementStart);
  // Fed in pieces: expat takes an int length.
  constexpr std::size_t kPiece = 1 << 20;
  std::size_t at = 0;
  bool ok = true;
  do {
    const std::size_t n = std::min(kPiece, text.size() - at);
    const bool last = at + n == text.size();
    ok = XML_Parse(parser.get(), text.data() + at, static_cast<int>(n), last ? 1 : 0) ==
         XML_STATUS_OK;
    at += n;
  } while (ok && at < text.size());
  if (!ok) {
    const XML_Error code = XML_GetErrorCode(parser.get());
    char line[256];
    std::snprintf(line, sizeof line, "Parser error %ld (%s), line %ld, col %ld",
                  static_cast<long>(code), XML_ErrorString(code),
                  static_cast<long>(XML_GetCurrentLineNumber(parser.get())),
                  static_cast<long>(XML_GetCurrentColumnNumber(parser.get())));
    TLLogger::errorInMethod("-[ParseEventsDelegate parser:parseErrorOccurred:]", __LINE__, "%s", line);
    return std::nullopt;
  }
  return events;
}

std::string jsonText(const Json::Value& value) {
  if (value.isString()) return value.asString();
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, value);
}

std::vector<TimedEventEngine> eventsFromJson(const Json::Value& root) {
  static constexpr char kMethod[] = "-[TLEventEngine registerEventSequenceWithID:events:syncSecs:error:]";
  std::vector<TimedEventEngine> events;
  if (!root.isObject() || !root.isMember("events")) return events;
  const Json::Value& list = root["events"];
  if (!list.isArray()) {
    TLLogger::warnInMethod(kMethod, __LINE__, "\"events\" is not an array; no events taken");
    return events;
  }
  for (const Json::Value& item : list) {
    if (!item.isObject()) {
      TLLogger::warnInMethod(kMethod, __LINE__, "Skipping an event that is not an object: %s",
                             jsonText(item).c_str());
      continue;
    }
    TimedEventEngine event;
    const Json::Value& id = item["id"];
    if (!id.isNull()) event.eventData = jsonText(id);
    const Json::Value& time = item["time"];
    std::optional<double> seconds = 0.0;  // an absent time reads as 0
    if (time.isNumeric() || time.isBool()) {
      seconds = time.asDouble();
      if (!std::isfinite(*seconds)) seconds.reset();
    } else if (time.isString()) {
      // A hexadecimal number would read as its leading 0 and fire at once.
      const std::string text = time.asString();
      seconds = startsHexadecimal(text) ? std::nullopt : leadingNumber(text);
    } else if (!time.isNull()) {
      seconds.reset();  // an array or object
    }
    if (!seconds) {
      // It would read as 0 and fire at once.
      const std::string shown = time.isString() ? "\"" + time.asString() + "\"" : jsonText(time);
      TLLogger::warnInMethod(
          kMethod, __LINE__, "Skipping event %s: its time %s is not a finite number",
          event.eventData ? event.eventData->c_str() : "without an id", shown.c_str());
      continue;
    }
    event.eventTime = *seconds;
    events.push_back(std::move(event));
  }
  return events;
}

}  // namespace

std::optional<std::vector<TimedEventEngine>> parseEventText(const std::string& text, TLError& error) {
  if (text.empty()) return std::vector<TimedEventEngine>{};
  if (text[0] == '<') {
    std::optional<std::vector<TimedEventEngine>> events;
    try {
      events = parseXml(text);
    } catch (const std::exception&) {
      // Out of memory for the events: no events were found.
      events.reset();
    }
    if (!events || events->empty()) {
      error = decoderError(TLEventEngine::kErrorNoEventsInXml, "No events found in XML");
      return std::nullopt;
    }
    return events;
  }
  if (text[0] == '{') {
    const auto fail = [&error](std::string reason) {
      error = decoderError(TLEventEngine::kErrorBadJson, "Failed to parse JSON data");
      while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back()))) {
        reason.pop_back();
      }
      error.underlyingError =
          std::make_shared<const TLError>(TLError{"TLJSONReaderErrorDomain", 1, reason, ""});
      return std::nullopt;
    };
    try {
      Json::CharReaderBuilder builder;
      Json::CharReaderBuilder::strictMode(&builder.settings_);
      builder["rejectDupKeys"] = false;
      std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
      Json::Value root;
      std::string parseErrors;
      if (!reader->parse(text.data(), text.data() + text.size(), &root, &parseErrors)) {
        return fail(std::move(parseErrors));
      }
      return eventsFromJson(root);
    } catch (const std::exception& e) {
      // The reader throws rather than fails on nesting beyond its depth
      // limit: malformed text like any other.
      return fail(e.what());
    }
  }
  return std::vector<TimedEventEngine>{};
}

}  // namespace tembrolexinplatform
