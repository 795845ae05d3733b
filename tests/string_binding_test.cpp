#include "platform/rpc/string_binding.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

// Object UUID, protocol sequence, network address, endpoint, options.
using Parts = std::array<std::string, 5>;

RPC_STATUS Parse(const char* binding, Parts* out) {
  char* s[5];
  RPC_STATUS status = RpcStringBindingParseA(binding, &s[0], &s[1], &s[2], &s[3], &s[4]);
  if (status != RPC_S_OK) {
    for (char* p : s) EXPECT_EQ(p, nullptr);
    return status;
  }
  *out = {s[0], s[1], s[2], s[3], s[4]};
  for (char*& p : s) RpcStringFreeA(&p);
  return status;
}

std::string Compose(const Parts& p) {
  char* s = nullptr;
  EXPECT_EQ(RpcStringBindingComposeA(p[0].c_str(), p[1].c_str(), p[2].c_str(), p[3].c_str(),
                                     p[4].c_str(), &s),
            RPC_S_OK);
  std::string out = s != nullptr ? s : "";
  RpcStringFreeA(&s);
  EXPECT_EQ(s, nullptr);
  return out;
}

TEST(StringBinding, ComposedTextAndRoundTrips) {
  struct Case {
    Parts parts;
    const char* text;
  } cases[] = {
      {{"", "ncacn_ip_tcp", "10.1.2.3", "49664", ""}, "ncacn_ip_tcp:10.1.2.3[49664]"},
      {{"6b29fc40-ca47-1067-b31d-00dd010662da", "ncacn_ip_tcp", "pdc01", "135",
        "security_options=1"},
       "6b29fc40-ca47-1067-b31d-00dd010662da@ncacn_ip_tcp:pdc01[135,security_options=1]"},
      {{"", "ncacn_np", "\\\\srv", "\\pipe\\x", ""}, "ncacn_np:\\\\\\\\srv[\\\\pipe\\\\x]"},
      {{"", "ncacn_ip_tcp", "a@b:c", "[1],2=3", ""}, "ncacn_ip_tcp:a\\@b\\:c[\\[1\\]\\,2\\=3]"},
      {{"", "ncacn_http", "web", "593", "proxy=h\\:80,path=[x]"},
       "ncacn_http:web[593,proxy=h\\\\\\:80,path=\\[x\\]]"},
  };
  for (const Case& c : cases) {
    Parts back;
    EXPECT_EQ(Compose(c.parts), c.text);
    ASSERT_EQ(Parse(c.text, &back), RPC_S_OK) << c.text;
    EXPECT_EQ(back, c.parts) << c.text;
  }
}

TEST(StringBinding, MalformedStringsAreRejected) {
  Parts ignored;
  for (const char* text :
       {"", "ncacn_ip_tcp", ":host", "ncacn_ip_tcp:h[135", "ncacn_ip_tcp:h[135]x",
        "ncacn_ip_tcp:h[135][1]", "ncacn_ip_tcp:h[1,2]", "ncacn_ip_tcp:h[1,endpoint=2]",
        "ncacn_ip_tcp:h[a[b]", "ncacn_ip_tcp:h]", "ncacn_ip_tcp:h:135", "ncacn_ip_tcp:a@b",
        "ncacn_ip_tcp:a,b", "ncacn_ip_tcp:h\\", "ncacn_ip_tcp:h[1\\", "nca[cn:h",
        "a@b@ncacn_ip_tcp:h"}) {
    EXPECT_EQ(Parse(text, &ignored), RPC_S_INVALID_STRING_BINDING) << text;
  }
  for (const char* text : {"6b29fc40-ca47-1067-b31d-00dd010662d@ncacn_ip_tcp:h",
                           "6b29fc40-ca47-1067-b31d-00dd010662dz@ncacn_ip_tcp:h",
                           "6b29fc40+ca47-1067-b31d-00dd010662da@ncacn_ip_tcp:h",
                           "6b29fc40-ca47-1067-b31d+00dd010662da@ncacn_ip_tcp:h"}) {
    EXPECT_EQ(Parse(text, &ignored), RPC_S_INVALID_STRING_UUID) << text;
  }
  char* s = reinterpret_cast<char*>(1);
  EXPECT_EQ(RpcStringBindingParseA(nullptr, &s, nullptr, nullptr, nullptr, nullptr),
            RPC_S_INVALID_STRING_BINDING);
  EXPECT_EQ(s, nullptr);
}

}  // namespace
