#include "core/runtime/processor_params.h"

#include "core/runtime/logger.h"

namespace tembrolexinsdk {

CodewordEventParams::CodewordEventParams(
    int32_t syncState, int16_t meanVolume, int16_t meanSignalStrength, int16_t currentVolume,
    int16_t currentSignalStrength, int32_t sigConfidence, int32_t msgConfidence,
    int16_t bitSlicePosSig, int16_t bitSlicePosMsg, int16_t nFecErrors,
    int16_t msgSignalStrength95pc, int16_t msgVolume, int64_t msg, int32_t msgScheme,
    int32_t sigScheme, int64_t steadyTimeStamp, int64_t systemTimeStamp, std::string engineRef,
    int64_t offset, int64_t codewordDuration, int64_t samplePosition)
    : syncState(syncState),
      meanVolume(meanVolume),
      meanSignalStrength(meanSignalStrength),
      currentVolume(currentVolume),
      currentSignalStrength(currentSignalStrength),
      sigConfidence(sigConfidence),
      msgConfidence(msgConfidence),
      bitSlicePosSig(bitSlicePosSig),
      bitSlicePosMsg(bitSlicePosMsg),
      nFecErrors(nFecErrors),
      msgSignalStrength95pc(msgSignalStrength95pc),
      msgVolume(msgVolume),
      msg(msg),
      msgScheme(msgScheme),
      sigScheme(sigScheme),
      steadyTimeStamp(steadyTimeStamp),
      systemTimeStamp(systemTimeStamp),
      engineRef(std::move(engineRef)),
      offset(offset),
      codewordDuration(codewordDuration),
      samplePosition(samplePosition) {}

std::string CodewordEventParams::GetParamsDescription() const {
  return "Codeword: " + std::to_string(msg);
}

CodewordEventParams::CodewordEventParams(const CodewordEventParams& o)
    : CodewordEventParams(
          o.syncState, o.meanVolume, o.meanSignalStrength, o.currentVolume, o.currentSignalStrength,
          o.sigConfidence, o.msgConfidence, o.bitSlicePosSig, o.bitSlicePosMsg, o.nFecErrors,
          o.msgSignalStrength95pc, o.msgVolume, o.msg, o.msgScheme, o.sigScheme, o.steadyTimeStamp,
          o.systemTimeStamp, o.engineRef, o.offset, o.codewordDuration, o.samplePosition) {}

IProcessorEventParams* CodewordEventParams::clone() const { return new CodewordEventParams(*this); }

AMEvent::AMEvent(std::string dbEntryName, std::string amId, int64_t timeStamp, int64_t offset,
                 int64_t duration, std::vector<double> ber)
    : dbEntryName(std::move(dbEntryName)),
      amId(std::move(amId)),
      timeStamp(timeStamp),
      offset(offset),
      duration(duration),
      ber(std::move(ber)) {}

IProcessorEventParams* AMEvent::clone() const { return new AMEvent(*this); }

std::string AMEvent::GetParamsDescription() const {
  return "Audio match: " + amId + " in " + dbEntryName;
}

IProcessorEventParams* FilePreparedEventParams::clone() const {
  return new FilePreparedEventParams(*this);
}

std::string FilePreparedEventParams::GetParamsDescription() const {
  std::string text = "Files prepared: \n";
  for (const std::string& path : filePaths_) text += path;
  text += '\n';
  return text;
}

void CheckedFilePreparedEventParams::AddCheckedFilePath(std::string path,
                                                        std::vector<unsigned char> check) {
  checkedPaths_.emplace_back(std::move(path), std::move(check));
}

IProcessorEventParams* CheckedFilePreparedEventParams::clone() const {
  return new CheckedFilePreparedEventParams(*this);
}

std::string CheckedFilePreparedEventParams::GetParamsDescription() const {
  static const char kDigits[] = "0123456789abcdef";
  std::string text = "Files prepared: \n";
  for (const CheckedPath& entry : checkedPaths_) {
    text += entry.first;
    for (unsigned char b : entry.second) {
      // Hexadecimal without leading zeros: 0x0A is "a", 0x00 is "0".
      if (b >= 16) text += kDigits[b >> 4];
      text += kDigits[b & 0x0F];
    }
  }
  text += '\n';
  return text;
}

namespace {

// Texts that are all empty (or none at all) describe themselves as "empty
// status"; a lone empty text must not give a bare line end.
std::string statusDescription(const std::vector<std::string>& statuses) {
  std::string text;
  bool allEmpty = true;
  for (const std::string& s : statuses) {
    text += s;
    text += '\n';
    allEmpty = allEmpty && s.empty();
  }
  return allEmpty ? std::string("empty status") : text;
}

}  // namespace

GenericStatusParams::GenericStatusParams(std::vector<std::string> statuses)
    : statuses_(std::move(statuses)), description_(statusDescription(statuses_)) {}

GenericStatusParams::GenericStatusParams(const GenericStatusParams& other)
    : statuses_(other.statuses_), description_(statusDescription(statuses_)) {}

FailureParams::FailureParams(const std::exception* exception)
    : description_(exception != nullptr ? exception->what() : ""), exception_(exception) {}

FailureParams::FailureParams(const std::string& text)
    : description_(StringChecker::makeUTF8(text)), exception_(nullptr) {}

}  // namespace tembrolexinsdk
