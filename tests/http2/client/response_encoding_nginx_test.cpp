// Compressed answers from nginx through the whole client: gzip made by
// nginx's own gzip module, deflate (zlib-wrapped and raw) and br served as
// stored files with their content-encoding, a cut-off gzip body, and the
// charset of a result text. The properties of OnHTTP2Response carry the
// inflated body; a body that cannot be inflated ends its request with an
// error instead of data.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "http2/client/kfxHTTP.h"
#include "http2/client/kfxHTTP2_Client_Properties.h"
#include "rtl/MainThread.h"
#include "tests/support/apns_mock_harness.h"
#include "tests/support/wait.h"

namespace {

using apns_test::PumpUntil;

using apns_test::ChildProcess;
using apns_test::TempDir;

using apns_test::FreePort;
using apns_test::PortOpen;

std::string Compress(const std::string& aText, int aWindowBits) {
  z_stream s{};
  deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, aWindowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, aText.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(aText.data()));
  s.avail_in = static_cast<uInt>(aText.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// nginx serving www/ over cleartext HTTP/2 on a free loopback port.
class Nginx {
 public:
  explicit Nginx(const std::map<std::string, std::string>& aFiles) {
    std::filesystem::permissions(FDir.path(), std::filesystem::perms(0755));
    const std::string d = FDir.path().string();
    for (const auto& [name, content] : aFiles) {
      std::filesystem::create_directories((FDir.path() / "www" / name).parent_path());
      apns_test::WriteFile(d + "/www/" + name, content);
    }
    std::filesystem::create_directories(FDir.path() / "tmp");
    FPort = FreePort();
    std::string temp;
    for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
      temp += std::string(" ") + kind + "_temp_path " + d + "/tmp/" + kind + ";\n";
    apns_test::WriteFile(
        d + "/nginx.conf",
        "worker_processes 1;\nerror_log " + d + "/error.log info;\nevents { worker_connections 64; }\n"
        "http {\n access_log " + d + "/access.log;\n" + temp +
            " types { text/plain txt; application/octet-stream bin; }\n"
            " server {\n  listen 127.0.0.1:" + std::to_string(FPort) + " http2;\n  root " + d + "/www;\n"
            "  gzip on; gzip_types text/plain; gzip_min_length 1;\n"
            "  charset utf-8; charset_types text/plain;\n"
            // Stored files marked with the encoding they hold.
            "  location /deflate/ { gzip off; add_header Content-Encoding deflate; }\n"
            "  location /br/ { gzip off; add_header Content-Encoding br; }\n"
            "  location /cut/ { gzip off; add_header Content-Encoding gzip; }\n"
            "  location /latin/ { gzip off; charset iso-8859-1; }\n"
            " }\n}\n");
    FProcess.emplace(std::vector<std::string>{"/usr/sbin/nginx", "-e", d + "/error.log", "-p", d, "-c",
                                              d + "/nginx.conf", "-g", "daemon off; pid " + d + "/nginx.pid;"},
                     d + "/out", d + "/err");
    for (int i = 0; i < 500 && !FReady; ++i) {
      FReady = PortOpen(FPort);
      if (!FReady && FProcess->Wait(std::chrono::milliseconds(10))) break;  // nginx ended
    }
  }
  ~Nginx() {
    if (FProcess) FProcess->Stop();
  }
  bool Ready() const { return FReady; }
  std::string Errors() const {
    return apns_test::ReadFile(FDir.File("err")) + apns_test::ReadFile(FDir.File("error.log"));
  }
  std::string URL(const std::string& aPath) const {
    return "https://127.0.0.1:" + std::to_string(FPort) + aPath;
  }

 private:
  TempDir FDir;
  int FPort = 0;
  std::optional<ChildProcess> FProcess;
  bool FReady = false;
};

struct TAnswer {
  int Status = 0;
  std::string ContentEncoding, Charset, Data, DataUTF8;
  bool HasData = false;
};

TEST(ResponseEncodingNginx, BodiesAreInflatedOrRefusedAndResultTextsFollowTheCharset) {
  if (::access("/usr/sbin/nginx", X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += "line " + std::to_string(i) + ": caf\xc3\xa9 au lait\n";
  const std::string stored = "\x01\x02 not brotli, passed on as it is \xff";
  const std::string gzip = Compress(text, 31);
  Nginx nginx({{"plain.txt", text},
               {"deflate/zlib.txt", Compress(text, 15)},
               {"deflate/raw.txt", Compress(text, -15)},
               {"br/stored.bin", stored},
               {"cut/short.txt", gzip.substr(0, gzip.size() / 2)},
               {"latin/menu.txt", "caf\xe9 cr\xe8me"}});
  ASSERT_TRUE(nginx.Ready()) << nginx.Errors();

  auto client = MakeOwned<TkfxHTTP2Client>(nullptr);
  client->SetTLS(false);
  client->Request().AcceptEncoding = "gzip, deflate, br";
  // By the request's URL, which is its path.
  std::map<std::string, TAnswer> answers;
  std::map<std::string, std::string> failures;
  std::vector<std::string> exceptions;
  client->OnHTTP2Response = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty* Request,
                                TkfxHTTP2ResponseProperty* Response) {
    TAnswer& answer = answers[Request->URL()];
    answer.Status = Response->Status();
    answer.ContentEncoding = Response->Headers().Values("content-encoding");
    answer.Charset = Response->Charset();
    answer.HasData = Response->Data() != nullptr;
    if (answer.HasData) answer.Data.assign(Response->Data()->Bytes().begin(), Response->Data()->Bytes().end());
    answer.DataUTF8 = Response->DataUTF8();
  };
  client->OnHTTP2RequestFailed = [&](TObject*, TkfxHTTP2ConnectionClient*, TkfxHTTP2RequestProperty* Request,
                                     const std::string& aReason) { failures[Request->URL()] = aReason; };
  client->OnHTTP2Exception = [&](TObject*, TkfxHTTP2ConnectionClient*, Exception* E) {
    exceptions.push_back(E->Message());
  };

  const std::vector<std::string> paths = {"/plain.txt", "/deflate/zlib.txt", "/deflate/raw.txt", "/br/stored.bin",
                                          "/cut/short.txt"};
  for (const std::string& path : paths) client->GetAsync(nginx.URL(path));
  ASSERT_TRUE(PumpUntil([&] { return answers.size() + failures.size() == paths.size(); }))
      << answers.size() << " answers, " << failures.size() << " failures; " << nginx.Errors();

  struct TCase {
    std::string Path, Encoding, Data;
  };
  const TCase cases[] = {{"/plain.txt", "gzip", text},
                         {"/deflate/zlib.txt", "deflate", text},
                         {"/deflate/raw.txt", "deflate", text},
                         {"/br/stored.bin", "br", stored}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    ASSERT_EQ(answers.count(c.Path), 1u);
    const TAnswer& answer = answers[c.Path];
    EXPECT_EQ(answer.Status, 200);
    EXPECT_EQ(answer.ContentEncoding, c.Encoding);
    ASSERT_TRUE(answer.HasData);
    EXPECT_EQ(answer.Data.size(), c.Data.size());
    EXPECT_TRUE(answer.Data == c.Data);
  }
  EXPECT_EQ(answers["/plain.txt"].Charset, "utf-8");
  EXPECT_TRUE(answers["/plain.txt"].DataUTF8 == text);

  // The cut-off body is an error, not data.
  const std::string cut = "The gzip answer body cannot be inflated: the compressed data ends too early.";
  EXPECT_EQ(answers.count("/cut/short.txt"), 0u);
  EXPECT_EQ(failures["/cut/short.txt"], cut);
  EXPECT_TRUE(PumpUntil([&] { return !exceptions.empty(); }));
  EXPECT_EQ(exceptions, std::vector<std::string>{cut});

  // A result text is read in the answer's charset; its content encoding is
  // not undone.
  client->Request().AcceptEncoding.clear();
  EXPECT_EQ(client->Get(nginx.URL("/latin/menu.txt")), "caf\xc3\xa9 cr\xc3\xa8me");
  EXPECT_EQ(client->Response()->Charset(), "iso-8859-1");
  client->Request().AcceptEncoding = "gzip";
  EXPECT_TRUE(client->Get(nginx.URL("/plain.txt")) != text);
  EXPECT_EQ(client->Response()->Headers().Values("content-encoding"), "gzip");
}

}  // namespace
