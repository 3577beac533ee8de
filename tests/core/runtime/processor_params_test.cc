#include "core/runtime/processor_params.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/runtime/core_exceptions.h"

namespace tembrolexinsdk {
namespace {

CodewordEventParams makeCodeword(int64_t msg) {
  return CodewordEventParams(2, -3, 4, -5, 6, 3, -1, 7, -8, 9, 10, -11, msg, 0x01000002, 3,
                             123456789012LL, 1796515200123LL, "EVENT2", 17, 4096, 987654321LL);
}

struct CodewordTextCase {
  int64_t msg;
  const char* text;
};

class CodewordDescriptionTest : public ::testing::TestWithParam<CodewordTextCase> {};

TEST_P(CodewordDescriptionTest, IsCodewordFollowedByDecimalMsg) {
  const CodewordEventParams p = makeCodeword(GetParam().msg);
  EXPECT_EQ(p.GetParamsDescription(), GetParam().text);
  std::unique_ptr<IProcessorEventParams> copy(p.clone());
  EXPECT_EQ(copy->GetParamsDescription(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CodewordDescriptionTest,
    ::testing::Values(CodewordTextCase{1234, "Codeword: 1234"},
                      CodewordTextCase{-1, "Codeword: -1"}, CodewordTextCase{0, "Codeword: 0"},
                      CodewordTextCase{LLONG_MIN, "Codeword: -9223372036854775808"}));

TEST(CodewordEventParamsTest, CloneCopiesEveryField) {
  const CodewordEventParams p = makeCodeword(77);
  std::unique_ptr<IProcessorEventParams> clone(p.clone());
  const CodewordEventParams* c = CodewordEventParams::Cast(clone.get());
  ASSERT_NE(c, nullptr);
  ASSERT_NE(c, &p);
  EXPECT_EQ(c->syncState, 2);
  EXPECT_EQ(c->meanVolume, -3);
  EXPECT_EQ(c->meanSignalStrength, 4);
  EXPECT_EQ(c->currentVolume, -5);
  EXPECT_EQ(c->currentSignalStrength, 6);
  EXPECT_EQ(c->sigConfidence, 3);
  EXPECT_EQ(c->msgConfidence, -1);
  EXPECT_EQ(c->bitSlicePosSig, 7);
  EXPECT_EQ(c->bitSlicePosMsg, -8);
  EXPECT_EQ(c->nFecErrors, 9);
  EXPECT_EQ(c->msgSignalStrength95pc, 10);
  EXPECT_EQ(c->msgVolume, -11);
  EXPECT_EQ(c->msg, 77);
  EXPECT_EQ(c->msgScheme, 0x01000002);
  EXPECT_EQ(c->sigScheme, 3);
  EXPECT_EQ(c->steadyTimeStamp, 123456789012LL);
  EXPECT_EQ(c->systemTimeStamp, 1796515200123LL);
  EXPECT_EQ(c->engineRef, "EVENT2");
  EXPECT_EQ(c->offset, 17);
  EXPECT_EQ(c->codewordDuration, 4096);
  EXPECT_EQ(c->samplePosition, 987654321LL);
}

TEST(ParamsCastTest, CastAcceptsOnlyItsOwnClass) {
  const CodewordEventParams cw = makeCodeword(1);
  const AMEvent am("db", "id", 1, 2, 3, {0.5});
  const FilePreparedEventParams files({"a"});
  const CheckedFilePreparedEventParams checked;
  const ProcessingCompleteParams complete;
  const std::vector<const IProcessorEventParams*> events = {&cw, &am, &files, &checked, &complete};
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(CodewordEventParams::Cast(events[i]) != nullptr, i == 0) << i;
    EXPECT_EQ(AMEvent::Cast(events[i]) != nullptr, i == 1) << i;
    EXPECT_EQ(FilePreparedEventParams::Cast(events[i]) != nullptr, i == 2) << i;
    EXPECT_EQ(CheckedFilePreparedEventParams::Cast(events[i]) != nullptr, i == 3) << i;
    EXPECT_EQ(ProcessingCompleteParams::Cast(events[i]) != nullptr, i == 4) << i;
  }
  EXPECT_EQ(CodewordEventParams::Cast(static_cast<const IProcessorEventParams*>(nullptr)), nullptr);
  EXPECT_EQ(AMEvent::Cast(static_cast<IProcessorEventParams*>(nullptr)), nullptr);

  AudioProcessorIdleStatusParams idle("p");
  GenericStatusParams generic({"x"});
  FailureParams failure(std::string("f"));
  const std::vector<IProcessorStatusParams*> statuses = {&idle, &generic, &failure};
  for (size_t i = 0; i < statuses.size(); ++i) {
    EXPECT_EQ(AudioProcessorIdleStatusParams::Cast(statuses[i]) != nullptr, i == 0) << i;
    EXPECT_EQ(GenericStatusParams::Cast(statuses[i]) != nullptr, i == 1) << i;
    EXPECT_EQ(FailureParams::Cast(statuses[i]) != nullptr, i == 2) << i;
  }
  EXPECT_EQ(FailureParams::Cast(static_cast<const IProcessorStatusParams*>(nullptr)), nullptr);
}

TEST(FilePreparedEventParamsTest, DescriptionJoinsPathsWithoutSeparator) {
  const FilePreparedEventParams two({"a", "b"});
  EXPECT_EQ(two.GetParamsDescription(), "Files prepared: \nab\n");
  EXPECT_EQ(FilePreparedEventParams({}).GetParamsDescription(), "Files prepared: \n\n");
  std::unique_ptr<IProcessorEventParams> clone(two.clone());
  EXPECT_EQ(FilePreparedEventParams::Cast(clone.get())->getFilePaths(),
            (std::vector<std::string>{"a", "b"}));
}

struct CheckedCase {
  std::vector<CheckedFilePreparedEventParams::CheckedPath> pairs;
  const char* text;
};

class CheckedFilesDescriptionTest : public ::testing::TestWithParam<CheckedCase> {};

TEST_P(CheckedFilesDescriptionTest, PathThenHexBytesWithoutLeadingZeros) {
  CheckedFilePreparedEventParams built;
  for (const auto& pair : GetParam().pairs) built.AddCheckedFilePath(pair.first, pair.second);
  EXPECT_EQ(built.GetParamsDescription(), GetParam().text);
  EXPECT_EQ(CheckedFilePreparedEventParams(GetParam().pairs).GetParamsDescription(),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckedFilesDescriptionTest,
                         ::testing::Values(CheckedCase{{{"f", {0x0A, 0xFF}}},
                                                       "Files prepared: \nfaff\n"},
                                           CheckedCase{{}, "Files prepared: \n\n"},
                                           CheckedCase{{{"p", {0x00, 0x10, 0x01}}, {"q", {}}},
                                                       "Files prepared: \np0101q\n"}));

TEST(CheckedFilePreparedEventParamsTest, AddCopiesAndCloneIsDeep) {
  CheckedFilePreparedEventParams p;
  std::string path = "/x/y";
  std::vector<unsigned char> check = {1, 2};
  p.AddCheckedFilePath(path, check);
  path = "changed";
  check.push_back(3);
  p.AddCheckedFilePath("/z", {9});
  std::unique_ptr<IProcessorEventParams> clone(p.clone());
  const auto& pairs = CheckedFilePreparedEventParams::Cast(clone.get())->getCheckedFilePaths();
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].first, "/x/y");
  EXPECT_EQ(pairs[0].second, (std::vector<unsigned char>{1, 2}));
  EXPECT_EQ(pairs[1].first, "/z");
  EXPECT_NE(&pairs[0], &p.getCheckedFilePaths()[0]);
}

TEST(StatusParamsTest, IdleDescription) {
  AudioProcessorIdleStatusParams idle("p");
  EXPECT_EQ(idle.GetDescription(), "p is Idle.\n");
  std::unique_ptr<IProcessorStatusParams> clone(idle.clone());
  EXPECT_EQ(clone->GetDescription(), "p is Idle.\n");
  EXPECT_NE(AudioProcessorIdleStatusParams::Cast(clone.get()), nullptr);
}

struct GenericCase {
  std::vector<std::string> statuses;
  const char* text;
};

class GenericStatusTest : public ::testing::TestWithParam<GenericCase> {};

TEST_P(GenericStatusTest, Description) {
  GenericStatusParams p(GetParam().statuses);
  EXPECT_EQ(p.GetDescription(), GetParam().text);
  std::unique_ptr<IProcessorStatusParams> clone(p.clone());
  EXPECT_EQ(clone->GetDescription(), GetParam().text);
  EXPECT_EQ(GenericStatusParams::Cast(clone.get())->getStatuses(), GetParam().statuses);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GenericStatusTest,
    ::testing::Values(GenericCase{{}, "empty status"}, GenericCase{{""}, "empty status"},
                      GenericCase{{"", ""}, "empty status"}, GenericCase{{"a", "b"}, "a\nb\n"},
                      GenericCase{{"", "x"}, "\nx\n"}, GenericCase{{"Started"}, "Started\n"}));

TEST(FailureParamsTest, TextIsRepairedExceptionTextIsNot) {
  FailureParams bad(std::string("broken \xC0\x80 text"));
  EXPECT_EQ(bad.GetDescription(), "Message removed: invalid UTF-8 string");
  EXPECT_EQ(bad.GetException(), nullptr);
  FailureParams good(std::string("fine \xE2\x82\xAC"));
  EXPECT_EQ(good.GetDescription(), "fine \xE2\x82\xAC");

  const std::runtime_error error("raw \xC0 bytes");
  FailureParams fromException(&error);
  EXPECT_EQ(fromException.GetDescription(), "raw \xC0 bytes");
  EXPECT_EQ(fromException.GetException(), &error);
  std::unique_ptr<IProcessorStatusParams> clone(fromException.clone());
  const FailureParams* c = FailureParams::Cast(clone.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetDescription(), "raw \xC0 bytes");
  EXPECT_EQ(c->GetException(), &error);
  FailureParams copy = fromException;
  EXPECT_EQ(copy.GetException(), &error);
}

TEST(AMEventTest, CloneIsDeep) {
  AMEvent am("entry", "item-7", 1000, 250, 3000, {0.1, 0.25});
  std::unique_ptr<IProcessorEventParams> clone(am.clone());
  const AMEvent* c = AMEvent::Cast(clone.get());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->dbEntryName, "entry");
  EXPECT_EQ(c->amId, "item-7");
  EXPECT_EQ(c->timeStamp, 1000);
  EXPECT_EQ(c->offset, 250);
  EXPECT_EQ(c->duration, 3000);
  EXPECT_EQ(c->ber, (std::vector<double>{0.1, 0.25}));
  EXPECT_NE(c->ber.data(), am.ber.data());
  EXPECT_EQ(c->GetParamsDescription(), "Audio match: item-7 in entry");
}

TEST(ProcessingCompleteParamsTest, Description) {
  ProcessingCompleteParams p;
  EXPECT_EQ(p.GetParamsDescription(), "Audio processing complete");
  std::unique_ptr<IProcessorEventParams> clone(p.clone());
  EXPECT_NE(ProcessingCompleteParams::Cast(clone.get()), nullptr);
}

TEST(CoreExceptionsTest, RecorderExceptions) {
  static const char kText[] = "The app may not use the microphone now";
  try {
    throw MicUnavailableException(kText);
  } catch (const IAudioRecorder::AudioRecorderException& e) {
    EXPECT_EQ(e.what(), kText);  // the very pointer
  }
  try {
    throw NoMicPermissionException();
  } catch (const IAudioRecorder::AudioRecorderException& e) {
    EXPECT_STREQ(e.what(), "NoMicPermissionException user didn't allow microphone permissions");
  }
  EXPECT_STREQ(MicUnavailableException(nullptr).what(), "");
}

TEST(CoreExceptionsTest, SampleRateConversionTexts) {
  EXPECT_STREQ(SampleRateConversionException(SampleRate_44100, SampleRate_8000).what(),
               "Cannot convert from 44.1kHz to 8kHz");
  EXPECT_STREQ(
      SampleRateConversionException(SampleRate_NotAvailable, SampleRate_RefusedPermission).what(),
      "Cannot convert from <not available> to <refused permission by the user>");
  EXPECT_STREQ(SampleRateConversionException(static_cast<unsigned short>(2 | 256),
                                             static_cast<unsigned short>(1 | 512))
                   .what(),
               "Cannot convert from 8kHz, 44.1kHz,  to user refused permission, 48kHz, ");
  EXPECT_STREQ(
      SampleRateConversionException(static_cast<unsigned short>(0), static_cast<unsigned short>(0))
          .what(),
      "Cannot convert from  to ");
}

}  // namespace
}  // namespace tembrolexinsdk
