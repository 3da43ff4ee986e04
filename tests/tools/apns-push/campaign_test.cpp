// The parts of a campaign that need no server: the payload built from the
// options, JSON lines read as notifications, the earlier output read for
// --skip-done, the line reader over a pipe and the summary's figures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "jwt/kfxJSON.h"
#include "tests/support/temp_dir.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/lines.h"
#include "tools/apns-push/outcomes.h"
#include "tools/apns-push/payload.h"
#include "tools/apns-push/summary.h"

namespace {

using namespace apns_push;

const std::string kToken(64, 'a');

TEST(ApnsPushPayloadOptions, BuildTheApsDictionaryAndMergeIntoThePayload) {
  struct Case {
    const char* name;
    std::string base;
    PayloadOptions options;
    std::string expected;
  };
  PayloadOptions all;
  all.Alert = "Tab\there, \"quoted\", \\ and \xc3\xa9";
  all.Badge = 7;
  all.Sound = "bell.caf";
  all.ContentAvailable = true;
  all.MutableContent = true;
  all.Category = "INVITE";
  all.ThreadId = "t-1";
  all.InterruptionLevel = "time-sensitive";
  all.RelevanceScore = 0.5;
  PayloadOptions titled;
  titled.Title = "{\"looks\":\"like JSON\"}";
  titled.Subtitle = "sub";
  titled.Alert = "body";
  PayloadOptions titleOnly;
  titleOnly.Title = "T";
  PayloadOptions alertOnly;
  alertOnly.Alert = "[1,2]";
  PayloadOptions data;
  data.Data = {{"n", "42"}, {"s", "\"text\""}, {"o", "{\"a\":[true,null]}"}, {"l", "[1,2]"},
               {"k", "null"}};
  const std::vector<Case> cases = {
      {"every aps option, escaped", "{}", all,
       R"({"aps":{"alert":"Tab\there, \"quoted\", \\ and )" "\xc3\xa9" R"(","badge":7,"sound":"bell.caf","content-available":1,"mutable-content":1,"category":"INVITE","thread-id":"t-1","interruption-level":"time-sensitive","relevance-score":0.5}})"},
      {"title makes the alert a dictionary; text that looks like JSON stays text", "{}", titled,
       R"({"aps":{"alert":{"title":"{\"looks\":\"like JSON\"}","subtitle":"sub","body":"body"}}})"},
      {"the base's alert text becomes the body", R"({"aps":{"alert":"old \"one\"","badge":1},"x":1})",
       titleOnly, R"({"aps":{"alert":{"body":"old \"one\"","title":"T"},"badge":1},"x":1})"},
      {"--alert replaces a text alert", R"({"aps":{"alert":"old"}})", alertOnly,
       R"({"aps":{"alert":"[1,2]"}})"},
      {"--alert is the body of a dictionary alert", R"({"aps":{"alert":{"title":"t","body":"b"}}})",
       alertOnly, R"({"aps":{"alert":{"title":"t","body":"[1,2]"}}})"},
      {"--data members beside aps, replacing the base's", R"({"aps":{},"n":1})", data,
       R"({"aps":{},"n":42,"s":"text","o":{"a":[true,null]},"l":[1,2],"k":null})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string merged = MergePayload(c.base, c.options);
    EXPECT_EQ(merged, c.expected);
    EXPECT_TRUE(IsValidJSON(merged)) << merged;
  }
}

TEST(ApnsPushPayloadOptions, DataMustBeKeyEqualsJSON) {
  EXPECT_EQ(ParseDataOption("url=\"https://x/?a=b\"").second, "\"https://x/?a=b\"");
  EXPECT_EQ(ParseDataOption("a={\"b\":\"x=y\"}").second, "{\"b\":\"x=y\"}");  // the first "=" splits
  const struct {
    std::string text, problem;
  } bad[] = {
      {"novalue", "--data: expected KEY=JSON"},
      {"=1", "--data: expected KEY=JSON"},
      {"k=", "--data k: the value is not JSON"},
      {"k=text", "--data k: the value is not JSON"},
      {"k={\"a\":", "--data k: the value is not JSON (unexpected end"},
      {"aps={}", "--data: the \"aps\" dictionary comes from"},
  };
  for (const auto& c : bad) {
    std::string problem;
    try {
      ParseDataOption(c.text);
    } catch (const EUsageError& e) {
      problem = e.Message();
    }
    EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.text << ": " << problem;
  }
}

TEST(ApnsPushInputLines, EachLineIsANotificationOrAReason) {
  LineDefaults defaults;
  defaults.Headers.Topic = "com.example.app";
  defaults.HavePayload = true;
  defaults.PayloadSize = 4500;  // too big but for voip
  LineParser parser(defaults);
  const std::string voip = "\"push-type\":\"voip\"";
  const std::string big(4096 - 8, 'x');
  struct Case {
    std::string line;
    std::string problem;  // start of the reason; empty: a notification
    std::string payload = "";
    std::string topic = "";  // empty: the command line's headers
  };
  const std::vector<Case> cases = {
      {"{\"token\":\"" + kToken + "\",\"payload\":{\"aps\":{}}," + voip + "}", "", "{\"aps\":{}}", "com.example.app"},
      {" { \"payload\" : {\"a\":[1,{\"b\":\"}\"}]} , \"token\" : \"" + kToken + "\" , \"topic\":\"t\" } ", "",
       "{\"a\":[1,{\"b\":\"}\"}]}", "t"},
      {"{\"token\":\"" + kToken + "\",\"payload\":{\"a\":\"" + big + "\"}}", "", "{\"a\":\"" + big + "\"}"},
      {"{\"token\":\"" + kToken + "\",\"payload\":{\"a\":\"" + big + "x\"}}",
       "PayloadTooLarge: 4097 octets; APNs accepts at most 4096"},
      {"{\"token\":\"" + kToken + "\"," + voip + ",\"payload\":{\"a\":\"" + std::string(5120 - 8, 'v') + "\"}}", "",
       "{\"a\":\"" + std::string(5120 - 8, 'v') + "\"}", "com.example.app"},
      {"{\"token\":\"" + kToken + "\"," + voip + ",\"payload\":{\"a\":\"" + std::string(5121 - 8, 'v') + "\"}}",
       "PayloadTooLarge: 5121 octets; APNs accepts at most 5120"},
      {"{\"token\":\"" + kToken + "\"}", "PayloadTooLarge: the command line's payload is 4500 octets"},
      {"{\"token\":\"" + kToken + "\"", "MalformedLine: unexpected end of JSON"},
      {"[\"" + kToken + "\"]", "MalformedLine: not a JSON object"},
      {"{\"token\":\"" + kToken + "\"} trailing", "MalformedLine: unexpected text after the object"},
      {"{\"payload\":{}}", "MissingToken"},
      {"{\"token\":\"\",\"payload\":{}}", "MissingToken"},
      {"{\"token\":42,\"payload\":{}}", "MissingToken"},
      {"{\"token\":\"abc\",\"payload\":{}}", "MalformedDeviceToken"},
      {"{\"token\":\"" + kToken + "\",\"payload\":[1]}", "BadPayload"},
      {"{\"token\":\"" + kToken + "\",\"payload\":{},\"priority\":\"0\"}", "BadHeader: \"priority\""},
      {"{\"token\":\"" + kToken + "\",\"payload\":{},\"apns-id\":\"x\"}", "BadHeader: \"apns-id\""},
      {"{\"token\":\"" + kToken + "\",\"payload\":{},\"topic\":\"a\\u0041\"}", "BadHeader: \"topic\" is not plain text"},
      {"{\"token\":\"" + kToken + "\",\"payload\":{},\"topic\":\"\"}", "BadHeader: \"topic\" is empty"},
      {"{\"token\":\"" + kToken + "\",\"payload\":{},\"tokn\":1}", "MalformedLine: unknown member \"tokn\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 120));
    Notification n;
    std::string problem, token;
    const bool ok = parser.Parse(c.line, n, problem, token);
    if (c.problem.empty()) {
      ASSERT_TRUE(ok) << problem;
      EXPECT_EQ(n.Token, kToken);
      ASSERT_TRUE(n.Payload);
      EXPECT_EQ(*n.Payload, c.payload);
      if (c.topic.empty()) {
        EXPECT_FALSE(n.Headers);
      } else {
        ASSERT_TRUE(n.Headers);
        EXPECT_EQ(n.Headers->Topic, c.topic);
      }
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << problem;
    }
  }
  // Lines with the same headers share them.
  Notification a, b;
  std::string problem, token;
  const std::string line = "{\"token\":\"" + kToken + "\",\"priority\":5,\"payload\":{}}";
  ASSERT_TRUE(parser.Parse(line, a, problem, token));
  ASSERT_TRUE(parser.Parse(line, b, problem, token));
  EXPECT_EQ(a.Headers.get(), b.Headers.get());
  EXPECT_EQ(a.Headers->Priority, "5");
  EXPECT_EQ(a.Headers->Topic, "com.example.app");
}

TEST(ApnsPushInputLines, ReaderGivesLinesAsTheyComeAndDropsOverlongOnes) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  LineReader reader(fds[0], "pipe");
  std::string line;
  EXPECT_EQ(reader.Next(line, 0), LineReader::Got::Wait);  // nothing written yet
  const std::string first = "first\r\nsecond\n";
  ASSERT_EQ(write(fds[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
  ASSERT_EQ(reader.Next(line, 1000), LineReader::Got::Line);
  EXPECT_EQ(line, "first\r");
  ASSERT_EQ(reader.Next(line, 1000), LineReader::Got::Line);
  EXPECT_EQ(line, "second");
  EXPECT_EQ(reader.Next(line, 0), LineReader::Got::Wait);
  // A line longer than the limit, in pieces, then a normal one and a last
  // one without a line break.
  const std::string chunk(64 * 1024, 'x');
  size_t written = 0;
  std::vector<LineReader::Got> got;
  while (written < LineReader::kMaxLine + chunk.size()) {
    ASSERT_EQ(write(fds[1], chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    written += chunk.size();
    for (LineReader::Got g; (g = reader.Next(line, 0)) != LineReader::Got::Wait;) got.push_back(g);
  }
  const std::string rest = "xx\nthird\nlast";
  ASSERT_EQ(write(fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
  close(fds[1]);
  std::vector<std::string> lines;
  for (LineReader::Got g; (g = reader.Next(line, 1000)) != LineReader::Got::End;) {
    if (g == LineReader::Got::Wait) continue;
    got.push_back(g);
    if (g == LineReader::Got::Line) lines.push_back(line);
  }
  close(fds[0]);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], LineReader::Got::TooLong);
  EXPECT_EQ(lines, (std::vector<std::string>{"third", "last"}));
  EXPECT_EQ(reader.LineNumber(), 5u);
}

TEST(ApnsPushSkipDone, FinalAnswersInJsonOrTextOutput) {
  apns_test::TempDir dir;
  const std::string t200(64, '1'), t410(64, '2'), t400(64, '3'), t0(64, '4'), t429(64, '5'),
      t503(64, '6'), text200(64, '7'), text503(64, '8'), textFailed(64, '9');
  const std::string json =
      "{\"token\":\"" + t200 + "\",\"status\":200,\"reason\":\"\",\"apns-id\":\"x\",\"attempts\":1,\"time_ms\":1.0}\n" +
      "{\"token\":\"" + t410 + "\",\"status\":410,\"reason\":\"Unregistered\",\"apns-id\":\"\",\"timestamp\":1,\"time_ms\":1.0}\n" +
      "{\"token\":\"" + t400 + "\",\"status\":400,\"reason\":\"BadDeviceToken\",\"apns-id\":\"\",\"time_ms\":1.0}\r\n" +
      "{\"token\":\"" + t0 + "\",\"status\":0,\"reason\":\"Interrupted; not sent.\",\"apns-id\":\"\",\"time_ms\":0.0}\n" +
      "{\"token\":\"" + t429 + "\",\"status\":429,\"reason\":\"TooManyRequests\",\"apns-id\":\"\",\"time_ms\":1.0}\n" +
      "{\"token\":\"" + t503 + "\",\"status\":503,\"reason\":\"ServiceUnavailable\",\"apns-id\":\"\",\"time_ms\":1.0}\n" +
      "garbage\n\n" + text200 + "  200  accepted  apns-id X  1 attempt  0.5 ms\n" +
      text503 + "  503  ServiceUnavailable  4 attempts  0.5 ms\n" + textFailed +
      "  ---  Interrupted; not sent.  0.0 ms\n" + std::string(64, 'A') + "  200  accepted  1.0 ms\n";
  apns_test::WriteFile(dir.File("out"), json);
  const auto done = ReadDoneTokens(dir.File("out"));
  EXPECT_EQ(done, (std::unordered_set<std::string>{t200, t410, t400, text200, std::string(64, 'a')}));
}

TEST(ApnsPushSummary, PercentilesAndCountsByAnswer) {
  Summary s;
  for (int i = 1; i <= 1000; ++i) {
    Result r;
    r.Status = i <= 990 ? 200 : 503;
    r.Reason = i <= 990 ? "" : "ServiceUnavailable";
    r.Millis = i * 0.1;  // 0.1 .. 100 ms
    r.Attempts = i % 2 ? 1 : 2;
    s.Add(r);
  }
  Result bad;
  bad.Reason = "MalformedLine: unexpected end of JSON at offset 3 (in:7)";
  s.Add(bad);
  s.Seconds = 2;
  EXPECT_NEAR(s.Times.Percentile(0.5), 50.0, 50.0 * 0.02);
  EXPECT_NEAR(s.Times.Percentile(0.9), 90.0, 90.0 * 0.02);
  EXPECT_NEAR(s.Times.Percentile(0.99), 99.0, 99.0 * 0.02);
  EXPECT_DOUBLE_EQ(s.Times.Max(), 100.0);
  EXPECT_EQ(s.Sent, 1500u);
  const std::string text = s.Text();
  EXPECT_NE(text.find("1001 device tokens: 990 accepted, 10 rejected, 1 failed in 2.00 s"), std::string::npos) << text;
  EXPECT_NE(text.find("by answer: 200 accepted: 990, --- MalformedLine: 1, 503 ServiceUnavailable: 10"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("500 notifications/s (1500 requests); answer times p50 "), std::string::npos) << text;
  const std::string json = s.JSON();
  EXPECT_TRUE(IsValidJSON(json)) << json;
  EXPECT_NE(json.find(R"({"status":503,"reason":"ServiceUnavailable","count":10})"), std::string::npos) << json;
}

// Answers that ask for it wait for a retry instead of getting their line,
// as often as the policy allows; the last answer is the line, with the
// number of sends. A notification taken back unsent counts no send.
TEST(ApnsPushOutcomes, RetriesWaitAndTheFinalAnswerGetsTheLine) {
  struct Case {
    const char* name;
    int status;
    std::string reason;
    Outcomes::Unanswered how;
    bool resendCutOff;
    int expectedAttempts;  // in the line
    int expectedStatus;
  };
  const Case cases[] = {
      {"503 until the retries are spent", 503, "ServiceUnavailable", Outcomes::Unanswered::No, false, 3, 503},
      {"500", 500, "InternalServerError", Outcomes::Unanswered::No, false, 3, 500},
      {"429", 429, "TooManyRequests", Outcomes::Unanswered::No, false, 3, 429},
      {"429 for the provider token: final", 429, "TooManyProviderTokenUpdates", Outcomes::Unanswered::No, false, 1, 429},
      {"400: final", 400, "BadDeviceToken", Outcomes::Unanswered::No, false, 1, 400},
      {"cut off, at most once", 0, "cut", Outcomes::Unanswered::CutOff, false, 1, 0},
      {"cut off, resent", 0, "cut", Outcomes::Unanswered::CutOff, true, 3, 0},
      {"taken back unsent", 0, "not sent", Outcomes::Unanswered::NotSent, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream out;
    RetryPolicy policy;
    policy.Retries = 2;
    policy.ResendCutOff = c.resendCutOff;
    Outcomes outcomes(false, 1, 2, out, 0, policy);
    Notification n;
    n.Token = kToken;
    n.Payload = std::make_shared<const std::string>("{\"own\":1}");
    for (int send = 1;; ++send) {
      ASSERT_LE(send, 3);
      n.Attempts = send;
      outcomes.Queued(static_cast<size_t>(send % 2), n);  // another connection each time
      Result r;
      r.Token = kToken;
      r.Status = c.status;
      r.Reason = c.reason;
      outcomes.Done(static_cast<size_t>(send % 2), r, c.how);
      EXPECT_EQ(outcomes.Outstanding(), 0u);
      if (outcomes.RetriesWaiting() == 0) break;
      std::vector<Notification> due;
      outcomes.TakeDueRetries(Clock::now(), due, 10);  // a back-off first, for answers
      if (c.how == Outcomes::Unanswered::No) {
        EXPECT_TRUE(due.empty());
      }
      outcomes.TakeDueRetries(Clock::now() + std::chrono::hours(1), due, 10);
      ASSERT_EQ(due.size(), 1u);
      EXPECT_EQ(due[0].Token, kToken);
      EXPECT_EQ(due[0].Attempts, send);
      ASSERT_TRUE(due[0].Payload);
      EXPECT_EQ(*due[0].Payload, "{\"own\":1}");  // sent again as it was
      n = due[0];
    }
    outcomes.Flush();
    EXPECT_EQ(outcomes.Lines(), 1u);
    const std::string line = out.str();
    EXPECT_NE(line.find("\"status\":" + std::to_string(c.expectedStatus)), std::string::npos) << line;
    EXPECT_EQ(line.find("\"attempts\":") != std::string::npos, c.expectedAttempts > 0) << line;
    if (c.expectedAttempts) {
      EXPECT_NE(line.find("\"attempts\":" + std::to_string(c.expectedAttempts)), std::string::npos) << line;
    }
  }
  // A batch that stops writes the waiting ones with their last answer.
  std::ostringstream out;
  Outcomes outcomes(false, 1, 1, out, 0, RetryPolicy{});
  outcomes.Queued(0, kToken);
  Result r;
  r.Token = kToken;
  r.Status = 503;
  outcomes.Done(0, r);
  EXPECT_EQ(outcomes.Lines(), 0u);
  outcomes.EndRetries();
  outcomes.Flush();
  EXPECT_NE(out.str().find("\"status\":503"), std::string::npos) << out.str();
  EXPECT_EQ(outcomes.RetriesWaiting(), 0u);
}

// A sent token's line says how often it was sent; an unsent one's does not.
TEST(ApnsPushOutput, LinesCarryTheAttempts) {
  Result r;
  r.Token = "ab";
  r.Status = 503;
  r.Reason = "ServiceUnavailable";
  r.Attempts = 4;
  EXPECT_EQ(ResultLine(r, false),
            R"({"token":"ab","status":503,"reason":"ServiceUnavailable","apns-id":"","attempts":4,"time_ms":0.0})");
  EXPECT_EQ(ResultLine(r, true), "ab  503  ServiceUnavailable  4 attempts  0.0 ms");
  r.Attempts = 1;
  EXPECT_EQ(ResultLine(r, true), "ab  503  ServiceUnavailable  1 attempt  0.0 ms");
  r.Attempts = 0;
  EXPECT_EQ(ResultLine(r, true), "ab  503  ServiceUnavailable  0.0 ms");
}

}  // namespace
