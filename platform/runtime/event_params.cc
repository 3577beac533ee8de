#include "platform/runtime/event_params.h"

namespace tembrolexinplatform {

namespace {

// A field's value when its flag is set, else zero (or empty).
template <typename T>
T ifSet(bool isSet, const T& value) {
  return isSet ? value : T();
}

}  // namespace

TLCodewordEventParams::TLCodewordEventParams(const Fields& fields, int64_t steadyTimeStamp,
                                             int64_t systemTimeStamp)
    : f_(fields) {
  setSteadyTimeStamp(steadyTimeStamp);
  setSystemTimeStamp(systemTimeStamp);
}

TLCodewordEventParams::TLCodewordEventParams(int64_t codeword, int64_t steadyTimeStamp,
                                             int64_t systemTimeStamp, int64_t codewordDuration) {
  f_.msg = codeword;
  f_.codewordDuration = codewordDuration;
  setSteadyTimeStamp(steadyTimeStamp);
  setSystemTimeStamp(systemTimeStamp);
}

TLCodewordEventParams TLCodewordEventParams::fromCodewordSignal(const CodewordSignal& s) {
  const auto& is = s.__isset;
  Fields f;
  f.syncState = ifSet(is.syncState, s.syncState);
  f.meanVolume = ifSet(is.meanVolume, s.meanVolume);
  f.meanSignalStrength = ifSet(is.meanSignalStrength, s.meanSignalStrength);
  f.currentVolume = ifSet(is.currentVolume, s.currentVolume);
  f.currentSignalStrength = ifSet(is.currentSignalStrength, s.currentSignalStrength);
  f.sigConfidence = ifSet(is.sigConfidence, s.sigConfidence);
  f.msgConfidence = ifSet(is.msgConfidence, s.msgConfidence);
  f.bitSlicePosSig = ifSet(is.bitSlicePosSig, s.bitSlicePosSig);
  f.bitSlicePosMsg = ifSet(is.bitSlicePosMsg, s.bitSlicePosMsg);
  f.nFecErrors = ifSet(is.nFecErrors, s.nFecErrors);
  f.msgSignalStrength95pc = ifSet(is.msgSignalStrength95pc, s.msgSignalStrength95pc);
  f.msgVolume = ifSet(is.msgVolume, s.msgVolume);
  f.msg = ifSet(is.msg, s.msg);
  f.msgScheme = ifSet(is.msgScheme, s.msgScheme);
  f.sigScheme = ifSet(is.sigScheme, s.sigScheme);
  if (is.engineRef) f.engineRef = s.engineRef;
  f.offset = ifSet(is.offset, s.offset);
  f.codewordDuration = ifSet(is.codewordDuration, s.codewordDuration);
  return TLCodewordEventParams(f, ifSet(is.steadyTimeStamp, s.steadyTimeStamp),
                               ifSet(is.systemTimeStamp, s.systemTimeStamp));
}

TLPartialCodewordParams::TLPartialCodewordParams(Fields fields) : f_(std::move(fields)) {
  setSystemTimeStamp(f_.stopTime);
}

TLPartialCodewordParams TLPartialCodewordParams::fromPartialCodewordSignal(
    const PartialCodewordSignal& s) {
  const auto& is = s.__isset;
  Fields f;
  f.pluginName = ifSet(is.pluginName, s.pluginName);
  f.encoderID = ifSet(is.encoderID, s.encoderID);
  f.timeShift = ifSet(is.timeShift, s.timeShift);
  f.startTime = ifSet(is.startTime, s.startTime);
  f.stopTime = ifSet(is.stopTime, s.stopTime);
  f.startTimeFinal = ifSet(is.startTimeFinal, s.startTimeFinal);
  f.stopTimeFinal = ifSet(is.stopTimeFinal, s.stopTimeFinal);
  f.encodingScheme = ifSet(is.encodingScheme, s.encodingScheme);
  f.metricInit = ifSet(is.metricInit, s.metricInit);
  f.metricSum = ifSet(is.metricSum, s.metricSum);
  f.metricNMerge = ifSet(is.metricNMerge, s.metricNMerge);
  f.nCodewords = ifSet(is.nCodewords, s.nCodewords);
  f.firstCodeword = ifSet(is.firstCodeword, s.firstCodeword);
  f.timeSeqStart = ifSet(is.timeSeqStart, s.timeSeqStart);
  return TLPartialCodewordParams(std::move(f));
}

TLGenericStatusParams TLGenericStatusParams::fromProcessorStatusSignal(const ProcessorStatusSignal& s) {
  return TLGenericStatusParams(ifSet(s.__isset.statusDescription, s.statusDescription));
}

TLAudioProcessorIdleStatusParams TLAudioProcessorIdleStatusParams::fromProcessorStatusSignal(
    const ProcessorStatusSignal& s) {
  return TLAudioProcessorIdleStatusParams(ifSet(s.__isset.statusDescription, s.statusDescription));
}

TLAudioSignal::TLAudioSignal(const AudioSignal& s)
    : audioLevel_(ifSet(s.__isset.audioLevel, s.audioLevel)),
      firstInvalidSample_(ifSet(s.__isset.firstInvalidSample, s.firstInvalidSample)),
      lastInvalidSample_(ifSet(s.__isset.lastInvalidSample, s.lastInvalidSample)),
      numberOfInvalidSamples_(ifSet(s.__isset.numberInvalidSamples, s.numberInvalidSamples)),
      repeatedBuffer_(ifSet(s.__isset.repeatedBuffer, s.repeatedBuffer)),
      systemTimeStamp_(ifSet(s.__isset.systemTimeStamp, s.systemTimeStamp)) {}

}  // namespace tembrolexinplatform
