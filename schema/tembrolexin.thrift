// Every message that crosses the core's message bus, or the boundary between
// the core and the platform layer. Serialised with Thrift's binary protocol;
// the message type id travels beside the bytes (schema/message_types.h), never
// inside them.
//
// Wire compatibility rules:
//  - Field ids, types and requiredness are the wire contract: never renumber,
//    retype or reuse an id. Unused ids stay unused (InitData 1 and 2,
//    NTPInfoSignal 6).
//  - No default values and no constants are declared: a new struct holds
//    zeros and empty values, and thrift emits only tembrolexin_types.{h,cpp}.
//  - Enum values read from the wire are kept as they came, in or out of range.

namespace cpp tembrolexinsdk

// ---------------------------------------------------------------------------
// Enums (all i32 on the wire)
// ---------------------------------------------------------------------------

enum DecodingConfidence {
  Unspecified = 0,
  Invalid = 1,
  Low = 2,
  Medium = 3,
  High = 4
}

enum PowerDetectorMsgStatus {
  PowerDetector_Off = 0,
  PowerDetector_StandBy = 1,
  PowerDetector_On = 2,
  PowerDetector_Unknown = 3
}

enum RecorderEventType {
  Initialised = 0,
  Started = 1,
  Stopped = 2,
  Destroyed = 3
}

enum ProcessorStatus {
  Idle = 0,
  Listening = 1,
  Inactive = 2,
  NoUpdate = 3
}

enum LogType {
  Trace = 0,
  Debug = 1,
  Info = 2,
  Warning = 3,
  Error = 4,
  Assert = 5
}

enum SDKStatus {
  Initialised = 0,
  StartListening = 1,
  StopListening = 2,
  NTPRequired = 3,
  AudioSupportUpdate = 4
}

enum SdkInstruction {
  SdkInstruction_start = 0,
  SdkInstruction_stop = 1,
  SdkInstruction_prepareData = 2
}

enum ConfigParamType {
  ConfigParam_Bool = 0,
  ConfigParam_Int = 1,
  ConfigParam_Double = 2,
  ConfigParam_LongLong = 3,
  ConfigParam_String = 4,
  // A value of a kind that none of the above holds (an app's float, say):
  // stringValue describes it, for the keys whose rules name a value of the
  // wrong kind; no key takes it as a value. Readers that do not know it
  // leave the entry out.
  ConfigParam_OtherKind = 5
}

enum ConfigTarget {
  Target_Cpp = 0,
  Target_Platform = 1
}

enum BackgroundDataType {
  SDKAnalytics = 0
}

enum BackgroundDataStatus {
  Start = 0,
  Complete = 1
}

enum DownloadStatusSignalType {
  pending = 0,
  inProgress = 1,
  complete = 2,
  failed = 3
}

enum JavascriptMessageType {
  Request = 0,
  LoadResponse = 1,
  StoreResponse = 2
}

enum MessageType {
  Request = 0,
  Response = 1
}

enum ContentType {
  EndPointUrl = 0,
  CachedActions = 1
}

enum AMDBAction {
  Request = 0,
  Add = 1,
  Remove = 2,
  RequestList = 3,
  List = 4,
  AddComplete = 5,
  RemoveComplete = 6
}

enum AMDBPreference {
  Copy = 0,
  Move = 1
}

// No value 0: a new struct holds 0 in a field of this type until it is set.
enum EngineType {
  TRIGGER = 1,
  EVENT2 = 2,
  SCHEDULE = 3,
  HEARTBEAT = 4
}

enum SignalType {
  codeword = 0,
  amevent = 1
}

enum EventType {
  sync = 0,
  desync = 1,
  timedEvent = 2,
  tick = 3
}

// ---------------------------------------------------------------------------
// Decoding messages
// ---------------------------------------------------------------------------

// One decoded code word with the decoder's signal measurements (type 9).
struct CodewordSignal {
  1: string sender,
  2: DecodingConfidence syncState,
  3: i16 meanVolume,
  4: i16 meanSignalStrength,
  5: i16 currentVolume,
  6: i16 currentSignalStrength,
  7: DecodingConfidence sigConfidence,
  8: DecodingConfidence msgConfidence,
  9: i16 bitSlicePosSig,
  10: i16 bitSlicePosMsg,
  11: i16 nFecErrors,
  12: i16 msgSignalStrength95pc,
  13: i16 msgVolume,
  14: i64 msg,
  15: i32 msgScheme,
  16: i32 sigScheme,
  17: string engineRef,
  18: i64 offset,
  19: i64 codewordDuration,
  20: i64 steadyTimeStamp,
  21: i64 systemTimeStamp
}

// One code-word sequence recognised from partial code words (type 6).
struct PartialCodewordSignal {
  1: i32 encoderID,
  2: i64 timeShift,
  3: i64 startTime,
  4: i64 stopTime,
  5: bool startTimeFinal,
  6: bool stopTimeFinal,
  7: i32 encodingScheme,
  8: i32 metricInit,
  9: i32 metricSum,
  10: i32 metricNMerge,
  11: i32 nCodewords,
  12: string pluginName,
  13: i64 firstCodeword,
  14: i64 timeSeqStart,
  15: i64 systemTimeStamp,
  16: i64 steadyTimeStamp,
  17: i64 codewordDuration,
  18: string engineRef
}

// The state of one captured audio buffer (type 10).
struct AudioSignal {
  1: i16 audioLevel,
  2: i64 firstInvalidSample,
  3: i64 lastInvalidSample,
  4: i32 numberInvalidSamples,
  5: bool repeatedBuffer,
  6: i64 systemTimeStamp
}

// One audio-match event (type 11).
struct AMSignal {
  1: string amId,
  2: string dbEntryName,
  3: i64 timeStamp,
  4: i64 offset,
  5: i64 duration,
  6: list<double> ber
}

// The state of a power detector (type 7).
struct PowerDetectorMsg {
  1: PowerDetectorMsgStatus powerDetectorMsgStatus
}

// A life-cycle event of the app-fed recorder (type 25).
struct RecorderEvent {
  1: RecorderEventType eventType,
  2: string message,
  3: i64 instance
}

// A status change of a processor (type 23).
struct ProcessorStatusSignal {
  1: string statusDescription,
  2: list<string> statusStrings,
  3: ProcessorStatus status
}

// ---------------------------------------------------------------------------
// Control, configuration and status messages
// ---------------------------------------------------------------------------

// Initialisation data from the platform (type 35). Every field is optional;
// ids 1 and 2 are unused.
struct InitData {
  3: optional i32 sampleRates,
  4: optional i32 deviceId,
  5: optional string filePath,
  6: optional string libraryPath,
  7: optional string externalFilePath,
  8: optional string packageName,
  9: optional string udId,
  10: optional set<i64> processorPlugins,
  11: optional set<i64> audioProcessorPlugins
}

// One instruction from the app (type 36).
struct InstructionSignal {
  1: SdkInstruction instruction,
  2: optional bool shouldRecordToFile
}

// One typed configuration value; travels only inside ConfigurationMapSignal.
// The value field that `type` names is the one meant to be set
// (ConfigParam_OtherKind: stringValue, the description).
struct ConfigParam {
  1: required ConfigParamType type,
  2: optional bool boolValue,
  3: optional i32 intValue,
  4: optional double doubleValue,
  5: optional i64 longlongValue,
  6: optional string stringValue
}

// A set of named configuration values (type 30).
struct ConfigurationMapSignal {
  1: map<string, ConfigParam> config,
  2: ConfigTarget target
}

// A status change of the decoder for the app (type 37).
struct SDKStatusSignal {
  1: SDKStatus status,
  2: optional i32 sampleRate
}

// A failure of the decoder (type 31).
struct FailureSignal {
  1: string descriptionString
}

// One log line of the core (type 8).
struct LogSignal {
  1: LogType logType,
  2: string message,
  3: string sender
}

// The result of one network-time exchange (type 34). Id 6 is unused.
struct NTPInfoSignal {
  1: i64 inElapsedRealTime,
  2: i64 inTransmitTimestamp,
  3: i64 inRoundTripDelay,
  4: i64 inDrift,
  5: i64 upTimeMillis,
  7: binary rawNTP
}

// A position from the app (type 32).
struct GPSInfoSignal {
  1: double longitude,
  2: double latitude
}

// Cell information from the app (type 33).
struct GSMInfoSignal {
  1: string countryCode,
  2: string network,
  3: i64 LAC,
  4: i64 CId
}

// Coordination of uploads when the app goes to the background (type 13).
struct BackgroundData {
  1: BackgroundDataType backgroundType,
  2: BackgroundDataStatus status
}

// ---------------------------------------------------------------------------
// Content and asset messages
// ---------------------------------------------------------------------------

// One ready content bundle (type 17; travels only inside AssetInfoList).
struct AssetInfo {
  1: string assetID,
  2: string assetTitle,
  3: i32 schemaVersion,
  4: i32 version,
  5: i64 validFrom,
  6: i64 validTo,
  7: string assetDescription,
  8: string assetFolderPath
}

// The ready bundles (type 18).
struct AssetInfoList {
  1: list<AssetInfo> assetsInfoList
}

// One action of a bundle (type 19; travels only inside AssetActionList).
struct AssetAction {
  1: string actionID,
  2: string assetID,
  3: EngineType engine,
  4: string scheme,
  5: string trigger,
  6: string entryPoint,
  7: i64 secondsDelay,
  8: string notificationText,
  9: string notificationTitle,
  10: string notificationID,
  11: i64 timeStamp,
  12: i64 scheduleEngineActionTimestamp,
  13: string json,
  14: bool completed
}

// The actions of every configured bundle, by bundle id (type 20).
struct AssetActionList {
  1: map<string, list<AssetAction>> assetActionMap
}

// An emission of the content engine towards the platform (type 4).
struct ContentSignal {
  1: string bundleId,
  2: string actionId,
  3: i64 timestamp,
  4: string emitKey,
  5: string emitValue,
  6: i64 timeInTrack
}

// Progress of one bundle download (type 5).
struct DownloadStatusSignal {
  1: DownloadStatusSignalType downloadStatusType,
  2: string assetId,
  3: string filename
}

// A message from a bundle's page to the content engine (type 16).
struct AssetMessage {
  1: string assetId,
  2: string messageJson
}

// A load or store request of a bundle's page script, and its reply (type 26).
struct JavascriptMessage {
  1: JavascriptMessageType messageType,
  2: string bundleId,
  3: string messageContent,
  4: string key
}

// A notification raised by a bundle's page (type 12).
struct NotificationData {
  1: string notificationId,
  2: string type,
  3: string url,
  4: string value
}

// A request for a string from the other side, and its answer (type 21).
struct StringRequest {
  1: MessageType messageType,
  2: ContentType contentType,
  3: string response
}

// A command for the audio-match database, or its result (type 22).
struct AMDBSignal {
  1: AMDBAction action,
  2: list<string> filepaths,
  3: AMDBPreference preference,
  4: i32 errorCode,
  5: string errorDescription
}

// ---------------------------------------------------------------------------
// Engine, synchronisation, prepared-file and signing messages
// ---------------------------------------------------------------------------

// Registration of an event sequence with a synchronisation engine (type 1).
struct EventData {
  1: i64 mediaStreamId,
  2: string mediaStreamAMId,
  3: i64 syncTimeoutSecs,
  4: string eventJson,
  5: EngineType engineType
}

// One event of a synchronisation engine (type 28).
struct SyncEngineSignal {
  1: i64 mediaStreamId,
  2: string mediaStreamAMId,
  3: string eventId,
  4: SignalType signalType,
  5: EngineType engineType,
  6: EventType eventType,
  7: i64 originalUpTime,
  8: i64 millisecondsInMediaStream,
  9: i64 millisecondsSinceEpochInMediaStream,
  10: i64 millisecondsSinceEpochDeviceTime
}

// Checked files prepared for upload, with their check data (type 29).
struct CheckedFilePreparedEventSignal {
  1: map<string, binary> mPathsToPreparedFilesWithChecks
}

// A request to sign data (type 14).
struct SignDataRequest {
  1: string dataId,
  2: binary data
}

// The platform signer's answer to one SignDataRequest (type 15).
struct SignedData {
  1: string dataId,
  2: binary data,
  3: string dataMd5
}
