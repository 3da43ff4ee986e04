// The socket stack's text rules, error numbers and socket list, and the
// receive buffer. No connections here (see iohandler_test.cpp).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <netdb.h>

#include "transport/IdBuffer.h"
#include "transport/IdStackLinux.h"

namespace {

class StackTest : public ::testing::Test {
 protected:
  void SetUp() override { TIdStack::IncUsage(); }
  void TearDown() override { TIdStack::DecUsage(); }
};

TEST_F(StackTest, UsageCountCreatesAndFreesTheStack) {
  EXPECT_NE(GStack, nullptr);
  const int before = GStackUsageCount();
  TIdStack::IncUsage();
  EXPECT_EQ(GStackUsageCount(), before + 1);
  TIdStack::DecUsage();
  EXPECT_EQ(GStackUsageCount(), before);
}

TEST_F(StackTest, IsIP) {
  const struct {
    const char* text;
    bool ip;
  } cases[] = {{"127.0.0.1", true},   {"0.0.0.0", true},       {"255.255.255.255", true},
               {"1.2.3", false},      {"1.2.3.4.5", false},    {"1.2.3.256", false},
               {"1.2.3.300", false},  {"a.b.c.d", false},      {"1..2.3", false},
               {"", false},           {" 1.2.3.4", false},     {"1.2.3.4 ", false}};
  for (const auto& c : cases) EXPECT_EQ(TIdStack::IsIP(c.text), c.ip) << c.text;
}

TEST_F(StackTest, CanonicalIPv6Text) {
  const struct {
    const char* text;
    const char* canonical;  // empty: invalid
  } cases[] = {
      {"2001:db8::1", "2001:DB8:0:0:0:0:0:1"},
      {"::1", "0:0:0:0:0:0:0:1"},
      {"::", "0:0:0:0:0:0:0:0"},
      {"fe80::", "FE80:0:0:0:0:0:0:0"},
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {"0001:00ab::00FF", "1:AB:0:0:0:0:0:FF"},
      {"::ffff:1.2.3.4", "0:0:0:0:0:FFFF:0102:0304"},
      {"1::2::3", ""},           // two empty groups
      {"1:2:3:4:5:6:7", ""},     // seven groups, no "::"
      {"1:2:3:4:5:6:7:8:9", ""}, // too many colons
      {"12345::1", ""},          // group above FFFF
      {"::1.2.3", ""},           // two dots
      {"::ffff:1.2.3.256", ""},  // IPv4 part out of range
      {"1.2.3.4", ""},           // no colons
      {"g::1", ""},
      {"::1.2.3.4:5", ""},       // a colon after the IPv4 part
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TIdStack::MakeCanonicalIPv6Address(c.text), c.canonical) << c.text;
  }
}

TEST_F(StackTest, ResolveHostAnswersLiteralsAndLocalhostItself) {
  EXPECT_EQ(GStack->ResolveHost("localhost"), "127.0.0.1");
  EXPECT_EQ(GStack->ResolveHost("LocalHost", TIdIPVersion::Id_IPv6), "::1");
  EXPECT_EQ(GStack->ResolveHost("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(GStack->ResolveHost("2001:db8::1", TIdIPVersion::Id_IPv6), "2001:DB8:0:0:0:0:0:1");
}

TEST_F(StackTest, DottedTextThatIsNoAddressIsHostNotFound) {
  // Never sent to a name server: digits and dots are an address or nothing.
  for (const char* text : {"1.2.3.300", "1.2.3", "999.1.1.1"}) {
    try {
      GStack->ResolveHost(text);
      ADD_FAILURE() << text << " resolved";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError, 11001) << text;
      EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.") << text;
    }
  }
}

TEST_F(StackTest, ErrorNumbersAndTexts) {
  const struct {
    int err;
    bool transfer;
    int mapped;
  } cases[] = {
      {ECONNREFUSED, false, 10061}, {ETIMEDOUT, false, 10060}, {ECONNRESET, false, 10054},
      {EPIPE, true, 10054},         {EAGAIN, true, 10060},     {EAGAIN, false, 10035},
      {EHOSTUNREACH, false, 10065}, {EADDRINUSE, false, 10048}, {ENOTSOCK, false, 10038},
      {EMFILE, false, 10024},       {ENOTCONN, false, 10057},  {ECONNABORTED, false, 10053},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TIdStackLinux::TranslateErrno(c.err, c.transfer), c.mapped) << c.err;
  const struct {
    int gai;
    int mapped;
  } gaiCases[] = {{EAI_NONAME, 11001}, {EAI_AGAIN, 11002}, {EAI_FAIL, 11003},
                  {EAI_FAMILY, 10047}, {EAI_MEMORY, 8},    {EAI_SERVICE, 10109},
                  {EAI_SOCKTYPE, 10044}, {EAI_BADFLAGS, 10022}};
  for (const auto& c : gaiCases) EXPECT_EQ(TIdStackLinux::TranslateGAIError(c.gai, 0), c.mapped);
  EXPECT_EQ(TIdStackLinux::TranslateGAIError(EAI_SYSTEM, ECONNREFUSED), 10061);

  try {
    GStack->RaiseSocketError(10061);
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ClassName(), "EIdSocketError");
    EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
  }
  try {
    GStack->RaiseSocketError(10038);
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ClassName(), "EIdNotASocket");
  }
  try {
    GStack->RaiseSocketError(12345);
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Message(), "Socket Error # 12345\r\n");
  }
  GStack->WSSetLastError(10054);
  EXPECT_EQ(GStack->CheckForSocketError(-1, {10054, 10060}), 10054);
  EXPECT_EQ(GStack->CheckForSocketError(5, {10054}), 0);
  GStack->WSSetLastError(10061);
  EXPECT_THROW(GStack->CheckForSocketError(-1, {10054}), EIdSocketError);
}

TEST_F(StackTest, SocketListHoldsSixtyFourAndWaitsWithPoll) {
  auto list = TIdSocketList::CreateSocketList();
  for (int i = 0; i < 64; ++i) list->Add(1000 + i);
  EXPECT_EQ(list->Count(), 64);
  try {
    list->Add(2000);
    ADD_FAILURE() << "65th Add accepted";
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_EQ(e.Message(), "Set Size Exceeded.");
  }
  list->Clear();

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  list->Add(pair[0]);
  EXPECT_FALSE(list->SelectRead(0));
  ASSERT_EQ(::write(pair[1], "x", 1), 1);
  EXPECT_TRUE(list->SelectRead(IdTimeoutInfinite));
  std::unique_ptr<TIdSocketList> ready;
  EXPECT_TRUE(list->SelectReadList(ready, 0));
  EXPECT_TRUE(ready->ContainsSocket(pair[0]));
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST_F(StackTest, IPAddressObjects) {
  auto v6 = TIdIPAddress::MakeAddressObject("2001:db8::1");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->AddrType, TIdIPVersion::Id_IPv6);
  EXPECT_EQ(v6->IPAsString(), "2001:DB8:0:0:0:0:0:1");
  EXPECT_EQ(v6->HToNBytes().size(), 16u);
  EXPECT_EQ(v6->CompareAddress("2001:DB8:0::1"), 0);
  auto v4 = TIdIPAddress::MakeAddressObject("10.0.0.1");
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->HToNBytes(), (TIdBytes{10, 0, 0, 1}));
  EXPECT_EQ(v4->CompareAddress("10.0.0.2"), -1);
  EXPECT_FALSE(TIdIPAddress::MakeAddressObject("10.0.0.256"));
}

TEST_F(StackTest, LocalAddressListHasNoLoopback) {
  TIdStackLocalAddressList list;
  GStack->GetLocalAddressList(list);
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_NE(list.Addresses(i).IPAddress, "127.0.0.1");
    EXPECT_NE(list.Addresses(i).IPAddress, "0:0:0:0:0:0:0:1");
  }
}

// --- receive buffer ---

TIdBytes Bytes(const std::string& aText) { return TIdBytes(aText.begin(), aText.end()); }

TEST(IdBuffer, FifoAppendExtractAndSearch) {
  int removed = 0;
  TIdBuffer buffer([&](TObject*, int n) { removed += n; });
  buffer.Write(Bytes("hello "));
  buffer.Write(Bytes("xxworldxx"), 5, -1, 2);
  EXPECT_EQ(buffer.Size(), 11);
  EXPECT_EQ(buffer.IndexOf(Bytes("world")), 6);
  EXPECT_EQ(buffer.IndexOf(Bytes("o"), 5), 7);
  EXPECT_EQ(buffer.IndexOf(Bytes("zz")), -1);
  EXPECT_EQ(buffer.PeekByte(4), 'o');
  TIdBytes copy;
  buffer.ExtractToBytes(copy, 5, false, 6);  // copy from an offset: stays
  EXPECT_EQ(copy, Bytes("world"));
  EXPECT_EQ(buffer.Size(), 11);
  EXPECT_EQ(buffer.ExtractToString(6), "hello ");
  EXPECT_EQ(removed, 6);
  buffer.Write(Bytes("AB"), -1, 0);  // overwrite from index 0
  EXPECT_EQ(buffer.ExtractToString(), "ABrld");
  buffer.Write(static_cast<uint16_t>(0x0102));
  buffer.Write(static_cast<uint32_t>(0x03040506));
  EXPECT_EQ(buffer.ExtractToUInt16(), 0x0102);
  EXPECT_EQ(buffer.ExtractToUInt32(), 0x03040506u);
}

TEST(IdBuffer, IndexesOutsideTheDataAreErrors) {
  TIdBuffer buffer;
  EXPECT_EQ(buffer.IndexOf(Bytes("a")), -1);
  try {
    buffer.PeekByte(0);
    ADD_FAILURE();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "No bytes in buffer.");
  }
  buffer.Write(Bytes("abc"));
  const struct {
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {[&] { buffer.PeekByte(3); }, "Index out of bounds."},
      {[&] { buffer.PeekByte(-1); }, "Index out of bounds."},
      {[&] { buffer.IndexOf(Bytes("a"), 3); }, "Buffer start position is invalid."},
      {[&] { buffer.IndexOf(TIdBytes()); }, "Buffer terminator must be specified."},
      {[&] { TIdBytes v; buffer.ExtractToBytes(v, 5); }, "Not enough data in buffer. (5/3)"},
      {[&] { TIdBytes v; buffer.ExtractToBytes(v, 2, true, 2); }, "Not enough data in buffer. (2/1)"},
      {[&] { TIdBytes v; buffer.ExtractToBytes(v, 1, true, 4); }, "Index out of bounds."},
      {[&] { buffer.Write(Bytes("x"), -1, 4); }, "Index out of bounds."},
      {[&] { buffer.SetCapacity(2); }, "Capacity cannot be smaller than Size"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.message;
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  EXPECT_EQ(buffer.ExtractToString(), "abc");  // nothing was changed by the failures
}

TEST(IdBuffer, GrowsGeometricallyAndKeepsItsCapacity) {
  TIdBuffer buffer;
  const TIdBytes piece(100, 7);
  int reallocations = 0;
  int capacity = buffer.Capacity();
  for (int i = 0; i < 10000; ++i) {
    buffer.Write(piece);
    if (buffer.Capacity() != capacity) ++reallocations;
    capacity = buffer.Capacity();
  }
  EXPECT_EQ(buffer.Size(), 1000000);
  EXPECT_LE(reallocations, 12);  // doubling, not 2048-octet steps
  // Consuming in small pieces while appending settles on one storage size.
  for (int i = 0; i < 1000; ++i) {
    buffer.Remove(100);
    buffer.Write(piece);
  }
  capacity = buffer.Capacity();
  for (int i = 0; i < 30000; ++i) {
    buffer.Remove(100);
    buffer.Write(piece);
    ASSERT_EQ(buffer.Capacity(), capacity) << i;
  }
  EXPECT_EQ(buffer.Size(), 1000000);
  buffer.Remove(buffer.Size());
  EXPECT_EQ(buffer.Capacity(), capacity);
  buffer.Clear();
  EXPECT_EQ(buffer.Capacity(), 0);
}

TEST(IdBuffer, TextEncodings) {
  TIdBuffer buffer;
  buffer.Write(std::string("a\xC3\xA9"));  // ASCII by default: é becomes '?'
  EXPECT_EQ(buffer.ExtractToString(), "a?");
  buffer.Write(std::string("a\xC3\xA9"), TIdTextEncoding::enc8Bit);
  EXPECT_EQ(buffer.Size(), 2);
  EXPECT_EQ(buffer.ExtractToString(-1, TIdTextEncoding::enc8Bit), "a\xC3\xA9");
  buffer.Write(std::string("a\xC3\xA9"), TIdTextEncoding::encUTF8);
  EXPECT_EQ(buffer.ExtractToString(-1, TIdTextEncoding::encUTF8), "a\xC3\xA9");
}

}  // namespace
