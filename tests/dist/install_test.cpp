// The install rule run into a temporary DESTDIR, and the programs run from
// there: the files it installs, the version each program prints, manual
// pages and completion that agree with --help, a desktop entry that
// validates, the installed apns-push pushing to the installed apns-mock, and
// the installed window opening under Xvfb with its stored description.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apns_version.h"
#include "tests/support/apns_mock_harness.h"

namespace {

using namespace apns_test;
namespace fs = std::filesystem;

const std::string kDeviceToken =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kWindowTitle = "kfxWebSockets - Apple Push Notifications Provider Server";

std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> lines;
  std::istringstream in(aText);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The long options named in a text ("--key-id", ...).
std::set<std::string> LongOptions(const std::string& aText) {
  static const std::regex option("--[a-z][a-z0-9-]*");
  std::set<std::string> options;
  for (std::sregex_iterator i(aText.begin(), aText.end(), option), end; i != end; ++i)
    options.insert(i->str());
  return options;
}

std::string Joined(const std::set<std::string>& aSet) {
  std::string text;
  for (const std::string& s : aSet) text += s + " ";
  return text;
}

// Waits up to aTimeout for a file to hold a whole first line.
std::string FirstLine(const std::string& aFile, ChildProcess& aWriter,
                      std::chrono::milliseconds aTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  for (;;) {
    const std::string text = ReadFile(aFile);
    if (const size_t end = text.find('\n'); end != std::string::npos) return text.substr(0, end);
    if (aWriter.Wait(0ms) || std::chrono::steady_clock::now() >= deadline) return "";
    std::this_thread::sleep_for(10ms);
  }
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const CommandResult install = RunCommand({"env", "DESTDIR=" + dest_.path().string(),
                                              APNS_CMAKE_COMMAND, "--install", APNS_BINARY_DIR,
                                              "--prefix", "/usr"},
                                             120s);
    ASSERT_EQ(install.exit_code, 0) << install.out << install.err;
  }

  // A path under the installed /usr.
  std::string Usr(const std::string& aPath) const { return dest_.File("usr/" + aPath); }
  std::string Program(const std::string& aName) const { return Usr("bin/" + aName); }

  std::string Help(const std::string& aProgram) const {
    const CommandResult help = RunCommand({Program(aProgram), "--help"});
    EXPECT_EQ(help.exit_code, 0) << aProgram << ": " << help.err;
    return help.out;
  }

  TempDir dest_;
  TempDir work_;
};

TEST_F(InstallTest, InstallsTheProgramsAndTheirFilesAndNothingElse) {
  std::vector<std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dest_.path())) {
    ASSERT_FALSE(entry.is_symlink()) << entry.path();
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), dest_.path()).string());
  }
  std::sort(files.begin(), files.end());
  const std::vector<std::string> expected = {
      "usr/bin/apns-mock",
      "usr/bin/apns-provider",
      "usr/bin/apns-push",
      "usr/bin/apns-pushd",
      "usr/share/applications/apns-provider.desktop",
      "usr/share/bash-completion/completions/apns-push",
      "usr/share/doc/apns-provider/changelog.gz",
      "usr/share/doc/apns-provider/copyright",
      "usr/share/doc/apns-provider/examples/apns-pushd.toml",
      "usr/share/icons/hicolor/scalable/apps/apns-provider.svg",
      "usr/share/man/man1/apns-mock.1.gz",
      "usr/share/man/man1/apns-provider.1.gz",
      "usr/share/man/man1/apns-push.1.gz",
      "usr/share/man/man1/apns-pushd.1.gz",
  };
  EXPECT_EQ(files, expected);

  for (const std::string& file : files) {
    struct stat status {};
    ASSERT_EQ(stat(dest_.File(file).c_str(), &status), 0) << file;
    const bool program = file.rfind("usr/bin/", 0) == 0;
    EXPECT_EQ(status.st_mode & 0777, program ? 0755u : 0644u) << file;
  }
  // The programs find their libraries where the system keeps them, not in
  // the build folder.
  for (const char* name : {"apns-provider", "apns-push", "apns-pushd", "apns-mock"}) {
    const CommandResult dynamic = RunCommand({"readelf", "--dynamic", Program(name)});
    ASSERT_EQ(dynamic.exit_code, 0) << dynamic.err;
    EXPECT_EQ(dynamic.out.find("RPATH"), std::string::npos) << name << dynamic.out;
    EXPECT_EQ(dynamic.out.find("RUNPATH"), std::string::npos) << name << dynamic.out;
  }
}

// The one version of the build; apns-provider answers without a display.
TEST_F(InstallTest, EveryProgramPrintsTheProjectVersion) {
  for (const char* name : {"apns-provider", "apns-push", "apns-pushd", "apns-mock"}) {
    const CommandResult version = RunCommand(
        {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", Program(name),
         "--version"});
    EXPECT_EQ(version.exit_code, 0) << name << ": " << version.err;
    EXPECT_EQ(version.out, std::string(name) + " " + kApnsVersion + "\n");
  }
  const std::string changelog = RunCommand({"gzip", "-dc", Usr("share/doc/apns-provider/changelog.gz")}).out;
  EXPECT_EQ(changelog.rfind(std::string("apns-provider (") + kApnsVersion + ") ", 0), 0u)
      << changelog;
}

// Each page has an item for every option of the program's --help and no item
// for an option that --help does not name (but --help itself); man renders it
// without a warning.
TEST_F(InstallTest, ManualPagesDocumentTheOptionsOfHelp) {
  static const std::regex item_option("^\\.[BIR]+ +(--[a-z][a-z0-9-]*)");
  for (const char* name : {"apns-provider", "apns-push", "apns-pushd", "apns-mock"}) {
    SCOPED_TRACE(name);
    const std::string page = Usr(std::string("share/man/man1/") + name + ".1.gz");
    const CommandResult source = RunCommand({"gzip", "-dc", page});
    ASSERT_EQ(source.exit_code, 0) << source.err;
    std::string roff = source.out;
    for (size_t at; (at = roff.find("\\-")) != std::string::npos;) roff.replace(at, 2, "-");

    std::set<std::string> items;
    const std::vector<std::string> lines = Lines(roff);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      std::smatch match;
      if (lines[i] == ".TP" && std::regex_search(lines[i + 1], match, item_option))
        items.insert(match[1]);
    }
    std::set<std::string> help = LongOptions(Help(name));
    EXPECT_FALSE(help.empty());
    std::set<std::string> undocumented, unknown;
    std::set_difference(help.begin(), help.end(), items.begin(), items.end(),
                        std::inserter(undocumented, undocumented.end()));
    help.insert("--help");
    std::set_difference(items.begin(), items.end(), help.begin(), help.end(),
                        std::inserter(unknown, unknown.end()));
    EXPECT_TRUE(undocumented.empty()) << "in --help, not in the page: " << Joined(undocumented);
    EXPECT_TRUE(unknown.empty()) << "in the page, not in --help: " << Joined(unknown);
    EXPECT_NE(roff.find(std::string("\"apns-provider ") + kApnsVersion + "\""), std::string::npos);

    const CommandResult rendered =
        RunCommand({"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page});
    EXPECT_EQ(rendered.exit_code, 0);
    EXPECT_EQ(rendered.err, "");
  }
}

TEST_F(InstallTest, DesktopEntryValidatesAndNamesTheInstalledProgramAndIcon) {
  const std::string entry = Usr("share/applications/apns-provider.desktop");
  const CommandResult validate = RunCommand({"desktop-file-validate", entry});
  EXPECT_EQ(validate.exit_code, 0) << validate.out << validate.err;
  EXPECT_EQ(validate.out + validate.err, "");  // not even a hint

  const std::string text = ReadFile(entry);
  EXPECT_NE(text.find("\nExec=apns-provider\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nIcon=apns-provider\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nStartupWMClass=apns-provider\n"), std::string::npos) << text;
  const std::string icon = Usr("share/icons/hicolor/scalable/apps/apns-provider.svg");
  const CommandResult svg = RunCommand(
      {"python3", "-c",
       "import sys, xml.etree.ElementTree as E\n"
       "root = E.parse(sys.argv[1]).getroot()\n"
       "sys.exit(root.tag != '{http://www.w3.org/2000/svg}svg')\n",
       icon});
  EXPECT_EQ(svg.exit_code, 0) << "not an SVG document: " << svg.err;
}

// Runs the installed completion function of apns-push on a command line whose
// last word is being completed.
std::vector<std::string> Complete(const std::string& aScript, std::vector<std::string> aWords) {
  std::vector<std::string> argv = {
      "bash", "--norc", "-c",
      "source \"$1\" || exit 3; shift\n"
      "[ \"$(complete -p apns-push)\" = \"complete -F _apns_push apns-push\" ] || exit 4\n"
      "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1))\n"
      "_apns_push; printf '%s\\n' \"${COMPREPLY[@]}\"",
      "bash", aScript, "apns-push"};
  argv.insert(argv.end(), aWords.begin(), aWords.end());
  const CommandResult result = RunCommand(argv);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::string> lines = Lines(result.out);
  lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST_F(InstallTest, BashCompletionOffersTheOptionsOfHelpAndTheirValues) {
  const std::string script = Usr("share/bash-completion/completions/apns-push");
  const std::vector<std::string> offered = Complete(script, {"--"});
  const std::set<std::string> help = LongOptions(Help("apns-push"));
  EXPECT_EQ(std::set<std::string>(offered.begin(), offered.end()), help);

  WriteFile(work_.File("cert.p12"), "");
  WriteFile(work_.File("tokens.txt"), "");
  using Words = std::vector<std::string>;
  const struct {
    Words words;
    Words expected;
  } cases[] = {
      {{"--to"}, {"--tokens", "--topic"}},
      {{"--tls", ""}, {"openssl", "schannel"}},
      {{"--tls", "=", "o"}, {"openssl"}},  // --tls=o, split at "=" by bash
      {{"--format", "t"}, {"text"}},
      {{"--priority", "1"}, {"1", "10"}},
      {{"--cert", work_.File("c")}, {work_.File("cert.p12")}},
      {{"--tokens", work_.File("t")}, {work_.File("tokens.txt")}},
      {{"--payload", "@" + work_.File("cer")}, {"@" + work_.File("cert.p12")}},
      {{"--topic", ""}, {}},
      {{"--", "--t"}, {}},  // only device tokens after --
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& w : c.words) line += w + " ";
    EXPECT_EQ(Complete(script, c.words), c.expected) << line;
  }
}

// The installed programs talk to each other on loopback, in both kinds of
// authentication and with both TLS implementations of apns-push.
TEST_F(InstallTest, InstalledApnsPushPushesToInstalledApnsMock) {
  const std::string log = work_.File("requests.log");
  ChildProcess mock({Program("apns-mock"), "--cert", FixturePath("server.crt"), "--key",
                     FixturePath("server.key"), "--port", "0", "--client-ca", FixturePath("ca.crt"),
                     "--auth-key", FixturePath("AuthKey_TEST123456.pub.pem"), "--key-id",
                     std::string(kKeyId), "--team-id", std::string(kTeamId), "--log", log},
                    work_.File("mock.out"), work_.File("mock.err"));
  const std::string port = FirstLine(work_.File("mock.out"), mock, 20s);
  ASSERT_FALSE(port.empty()) << "apns-mock did not start: " << ReadFile(work_.File("mock.err"));

  const std::string config = work_.File("config");
  fs::create_directories(config);
  const std::vector<std::string> common = {
      "env",       "XDG_CONFIG_HOME=" + config, Program("apns-push"),
      "--url",     "https://127.0.0.1:" + port, "--ca",
      FixturePath("ca.crt"), "--topic",        "com.example.app",
      "--payload", R"({"aps":{"alert":"Hello"}})"};
  const struct {
    const char* auth;
    std::vector<std::string> options;
  } cases[] = {
      {"certificate",
       {"--tls", "openssl", "--cert", FixturePath("client.p12"), "--password", "secret"}},
      {"token",
       {"--tls", "schannel", "--key", FixturePath("AuthKey_TEST123456.p8"), "--key-id",
        std::string(kKeyId), "--team-id", std::string(kTeamId)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.auth);
    std::vector<std::string> argv = common;
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.push_back(kDeviceToken);
    const CommandResult push = RunCommand(argv, 60s);
    EXPECT_EQ(push.exit_code, 0) << push.out << push.err;
    const std::vector<std::string> lines = Lines(push.out);
    ASSERT_EQ(lines.size(), 1u) << push.out;
    EXPECT_EQ(JsonMember(lines[0], "token"), "\"" + kDeviceToken + "\"");
    EXPECT_EQ(JsonMember(lines[0], "status"), "200");
  }

  EXPECT_EQ(mock.Stop(), 0);
  const std::vector<std::string> requests = Lines(ReadFile(log));
  ASSERT_EQ(requests.size(), 2u) << ReadFile(log);
  EXPECT_EQ(JsonMember(requests[0], "auth"), "\"certificate\"");
  EXPECT_EQ(JsonMember(requests[1], "auth"), "\"token\"");
  for (const std::string& request : requests) EXPECT_EQ(JsonMember(request, "status"), "200");
}

// The window can only be built once its stored description has been read
// (a description that cannot be read raises before the window exists), so
// its title on the X server shows that the installed program found it.
TEST_F(InstallTest, InstalledWindowOpensUnderXvfbWithItsDescription) {
  ChildProcess xvfb({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x800x24", "-nolisten", "tcp"},
                    work_.File("xvfb.out"), work_.File("xvfb.err"));
  const std::string display = FirstLine(work_.File("xvfb.out"), xvfb, 30s);
  ASSERT_FALSE(display.empty()) << "Xvfb did not start: " << ReadFile(work_.File("xvfb.err"));

  const std::string runtime = work_.File("runtime");
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
  const std::string x = "DISPLAY=:" + display;
  {
    ChildProcess window({"env", x, "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + work_.File("config"),
                         "XDG_RUNTIME_DIR=" + runtime, Program("apns-provider")},
                        work_.File("window.out"), work_.File("window.err"));
    const CommandResult search =
        RunCommand({"env", x, "xdotool", "search", "--sync", "--name", kWindowTitle}, 60s);
    const std::vector<std::string> ids = Lines(search.out);
    ASSERT_EQ(search.exit_code, 0) << "the window did not appear: "
                                   << ReadFile(work_.File("window.err"));
    ASSERT_FALSE(ids.empty());
    // The class the desktop entry's StartupWMClass names.
    const CommandResult wm_class = RunCommand({"env", x, "xprop", "-id", ids[0], "WM_CLASS"});
    EXPECT_NE(wm_class.out.find("\"apns-provider\""), std::string::npos) << wm_class.out;
    EXPECT_FALSE(window.Wait(0ms).has_value()) << "the window ended";
    window.Stop();
    EXPECT_EQ(ReadFile(work_.File("window.err")).find("description"), std::string::npos)
        << ReadFile(work_.File("window.err"));
  }
  xvfb.Stop();
}

}  // namespace
