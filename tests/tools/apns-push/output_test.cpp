// Output lines and answers: the JSON and text forms of a result, what is
// read from an answer body, and the bookkeeping of a batch's outcomes.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "jwt/kfxJSON.h"
#include "tools/apns-push/outcomes.h"
#include "tools/apns-push/output.h"

namespace {

using namespace apns_push;

TEST(ApnsPushOutput, ResultLinesInBothForms) {
  Result ok;
  ok.Token = "ab";
  ok.Status = 200;
  ok.ApnsId = "id-1";
  ok.Millis = 12.34;
  EXPECT_EQ(ResultLine(ok, false),
            R"({"token":"ab","status":200,"reason":"","apns-id":"id-1","time_ms":12.3})");
  EXPECT_EQ(ResultLine(ok, true), "ab  200  accepted  apns-id id-1  12.3 ms");

  Result failed;
  failed.Token = "cd";
  failed.Reason = "Cannot connect\r\nto \"server\".";
  EXPECT_EQ(ResultLine(failed, false),
            R"({"token":"cd","status":0,"reason":"Cannot connect to \"server\".","apns-id":"","time_ms":0.0})");
  EXPECT_EQ(ResultLine(failed, true), "cd  ---  Cannot connect to \"server\".  0.0 ms");
}

// A malformed device token is written back in its line; the line stays one
// JSON object even when the token is not UTF-8.
TEST(ApnsPushOutput, EveryJSONLineIsValidJSONWhateverTheToken) {
  for (const std::string& token : {std::string("zz\xff\xfe"), std::string("a\tb"), std::string("\x01")}) {
    Result r;
    r.Token = token;
    r.Reason = "MalformedDeviceToken";
    const std::string line = ResultLine(r, false);
    EXPECT_TRUE(IsValidJSON(line)) << line;
  }
  Result r;
  r.Token = "zz\xff";
  EXPECT_EQ(ResultLine(r, false).substr(0, 19), R"({"token":"zz\uFFFD")");
}

TEST(ApnsPushOutput, AnswersGiveReasonApnsIdAndTimestamp) {
  TStringList headers;
  headers.Add("apns-id=ABC");
  Result gone;
  ReadAnswer(gone, 410, headers, R"({"reason":"Unregistered","timestamp":1700000000000})");
  EXPECT_EQ(gone.Status, 410);
  EXPECT_EQ(gone.ApnsId, "ABC");
  EXPECT_EQ(gone.Reason, "Unregistered");
  EXPECT_TRUE(gone.ReasonIsJson);
  EXPECT_EQ(gone.Timestamp, "1700000000000");
  EXPECT_EQ(ResultLine(gone, false),
            R"({"token":"","status":410,"reason":"Unregistered","apns-id":"ABC","timestamp":1700000000000,"time_ms":0.0})");

  // The reason as the server wrote it, escapes kept; a timestamp only for 410.
  Result bad;
  ReadAnswer(bad, 400, headers, R"( {"reason":"Bad\"Topic\u00e9","timestamp":5} )");
  EXPECT_EQ(bad.Reason, R"(Bad\"Topic\u00e9)");
  EXPECT_EQ(bad.Timestamp, "");
  EXPECT_NE(ResultLine(bad, false).find(R"("reason":"Bad\"Topic\u00e9")"), std::string::npos);

  // A body that is not one JSON object gives no reason.
  for (const std::string& body : {std::string(""), std::string("[1]"), std::string("{\"reason\":"),
                                  std::string("{\"reason\":42}"), std::string("Bad Request")}) {
    Result r;
    ReadAnswer(r, 400, headers, body);
    EXPECT_EQ(r.Reason, "") << body;
    EXPECT_FALSE(r.ReasonIsJson) << body;
  }
  EXPECT_EQ(TokenOfURL("https://h:1/3/device/abc"), "abc");
  EXPECT_EQ(HeaderValue(headers, "APNS-ID"), "ABC");
}

TEST(ApnsPushOutcomes, EachQueuedTokenGetsExactlyOneLine) {
  std::ostringstream out;
  Outcomes outcomes(true, 3, 2, out);
  outcomes.Queued(0, "a");
  outcomes.Queued(1, "a");  // the same token twice waits twice
  outcomes.Queued(1, "b");
  EXPECT_EQ(outcomes.Outstanding(), 3u);
  Result r;
  r.Token = "a";
  r.Status = 200;
  outcomes.Done(1, r);
  outcomes.Done(1, r);  // a second outcome for the same entry is dropped
  EXPECT_EQ(outcomes.Outstanding(1), 1u);
  outcomes.GiveUp(1, "gone");
  outcomes.Done(1, r);  // after giving up: dropped
  EXPECT_EQ(outcomes.Outstanding(), 1u);
  r.Status = 400;
  outcomes.Done(0, r);
  EXPECT_EQ(outcomes.Outstanding(), 0u);
  EXPECT_EQ(outcomes.Accepted(), 1u);
  EXPECT_EQ(outcomes.Rejected(), 1u);
  EXPECT_EQ(outcomes.Failed(), 1u);
  EXPECT_EQ(outcomes.Lines(), 3u);
  EXPECT_TRUE(out.str().empty());  // the lines are written by the main thread's Flush
  outcomes.Flush();
  const std::string text = out.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_NE(text.find("b  ---  gone  "), std::string::npos) << text;
}

}  // namespace
