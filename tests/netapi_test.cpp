#include "platform/netapi.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/hostlookup.h"
#include "platform/memory.h"
#include "testutil.h"

namespace {

std::string Dotted(in_addr a) {
  char buf[16];
  return qor_inet_ntoa(a, buf);
}

std::vector<std::string> Addrs(const qor_hostent* e) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < e->naddrs; ++i) out.push_back(Dotted(e->addrs[i]));
  return out;
}

// The domain directory of the LAN Manager tests.
constexpr const char* kDomains =
    "# domains and workgroups\n"
    "SALES   pdc01\n"
    "Staff   -   # a workgroup\r\n"
    "\n"
    "   # indented comment\n"
    "MARKETING\tmkt-pdc\n"
    "three fields here\n"
    "lonelyname\n"
    "sales   second-pdc\n";

// The hosts file of the lookup tests: one host under several lines, an alias in other letter
// case, an IPv6 line and comments.
constexpr const char* kHosts =
    "# test hosts\n"
    "10.0.0.1   pdc01.sales.example  pdc01   # the controller\n"
    "10.0.0.2\tpdc01.sales.example\r\n"
    "10.0.0.3   other  PDC01\n"
    "::1        pdc01\n"
    "not-an-address  pdc01\n"
    "10.0.0.9   lonely\n"
    "10.0.0.2   second-name\n";

// A settings file naming the test's hosts file and domain directory, plus `more` settings.
void UseTestFiles(const ScopedSettingsFile& settings, const std::string& more = "") {
  settings.Write("HostsFile = sz:" + settings.WriteFile("hosts", kHosts) +
                 "\nDomainDirectory = sz:" + settings.WriteFile("domains", kDomains) + "\n" + more);
}

TEST(HostLookup, DottedLiteralTest) {
  for (auto [text, dotted] : {std::pair{"10.1.2.3", "10.1.2.3"},
                              {"10.1", "10.0.0.1"},
                              {"10.1.2", "10.1.0.2"},
                              {"0x7f.1", "127.0.0.1"},
                              {"010.0.0.1", "8.0.0.1"},
                              {"3232235777", "192.168.1.1"},
                              {"255.255.255.255", "255.255.255.255"},
                              {"4294967295", "255.255.255.255"},
                              {"0", "0.0.0.0"}}) {
    in_addr a{};
    ASSERT_TRUE(qor_inet_addr(text, &a)) << text;
    EXPECT_EQ(Dotted(a), dotted) << text;
  }
  for (const char* text :
       {"1.2.3.256", "1.2.3.4.", "1..2", ".1.2.3", "1.2.3.4.5", "pdc01", "", " 1.2.3.4", "1.2.3.4 ",
        "08", "0x", "4294967296", "1.16777216", "256.1", "1.2.65536"}) {
    in_addr a{};
    EXPECT_FALSE(qor_inet_addr(text, &a)) << text;
  }
}

std::vector<std::string> EnumerateAll(DWORD count_per_call, DWORD buffer_size) {
  std::vector<std::string> names;
  HANDLE h = nullptr;
  NETRESOURCEA container{RESOURCE_GLOBALNET,
                         RESOURCETYPE_ANY,
                         RESOURCEDISPLAYTYPE_DOMAIN,
                         RESOURCEUSAGE_CONTAINER,
                         nullptr,
                         nullptr,
                         nullptr,
                         const_cast<char*>(QOR_NETWORK_PROVIDER)};
  EXPECT_EQ(WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &container, &h), NO_ERROR);
  std::vector<NETRESOURCEA> buffer(buffer_size / sizeof(NETRESOURCEA) + 1);
  for (;;) {
    DWORD count = count_per_call;
    DWORD size = buffer_size;
    DWORD status = WNetEnumResourceA(h, &count, buffer.data(), &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(status, NO_ERROR);
    if (status != NO_ERROR) break;
    EXPECT_LE(count, count_per_call);
    for (DWORD i = 0; i < count; ++i) {
      EXPECT_EQ(buffer[i].dwDisplayType, RESOURCEDISPLAYTYPE_DOMAIN);
      EXPECT_STREQ(buffer[i].lpProvider, QOR_NETWORK_PROVIDER);
      names.emplace_back(buffer[i].lpRemoteName);
    }
  }
  EXPECT_EQ(WNetCloseEnum(h), NO_ERROR);
  return names;
}

TEST(NetApi, SambaWorkgroupComesFromTheGlobalSection) {
  ScopedSettingsFile settings;
  std::string conf = settings.WriteFile("smb.conf",
                                        "; samba\n"
                                        "[global]\n"
                                        "   server string = files\n"
                                        "   WorkGroup = EARLY\n"
                                        "   workgroup = SALES  \r\n"
                                        "[homes]\n"
                                        "   workgroup = WRONG\n"
                                        "[ Global ]\n"
                                        "# workgroup = COMMENTED\n");
  char* group = qor_smb_workgroup(conf.c_str());
  ASSERT_NE(group, nullptr);
  EXPECT_STREQ(group, "SALES");
  qor_free(group);
  std::string none = settings.WriteFile("none.conf", "[global]\n  netbios name = X\n");
  EXPECT_EQ(qor_smb_workgroup(none.c_str()), nullptr);
  EXPECT_EQ(qor_smb_workgroup((settings.dir() + "/missing.conf").c_str()), nullptr);
}

TEST(NetApi, DirectoryListsItsNamesInFileOrderAndNamesTheirControllers) {
  ScopedSettingsFile settings;
  UseTestFiles(settings);
  std::vector<std::string> expected{"SALES", "Staff", "MARKETING", "sales"};
  EXPECT_EQ(EnumerateAll(1, 8192), expected);           // as the domain list asks
  EXPECT_EQ(EnumerateAll(0xFFFFFFFF, 8192), expected);  // everything at once
  EXPECT_EQ(EnumerateAll(0xFFFFFFFF, 2 * sizeof(NETRESOURCEA) + 64), expected);

  HANDLE h = nullptr;
  ASSERT_EQ(WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, nullptr, &h), NO_ERROR);
  alignas(NETRESOURCEA) char small[sizeof(NETRESOURCEA)];
  DWORD count = 1;
  DWORD size = sizeof small;
  EXPECT_EQ(WNetEnumResourceA(h, &count, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(NETRESOURCEA) + sizeof "SALES" + std::strlen(QOR_NETWORK_PROVIDER) + 1);
  EXPECT_EQ(WNetCloseEnum(h), NO_ERROR);

  NETRESOURCEA other{};
  other.lpProvider = const_cast<char*>("Novell NetWare");
  EXPECT_EQ(WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &other, &h), ERROR_BAD_PROVIDER);
  EXPECT_EQ(WNetCloseEnum(nullptr), ERROR_INVALID_HANDLE);

  // The first record of a name counts; "-" names a workgroup, without a controller.
  LPBYTE buf = nullptr;
  ASSERT_EQ(NetGetDCName(nullptr, "sales", &buf), NERR_Success);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "\\\\pdc01");
  NetApiBufferFree(buf);
  EXPECT_EQ(NetGetDCName(nullptr, "STAFF", &buf), NERR_DCNotFound);
  EXPECT_EQ(NetGetDCName("otherhost", "SALES", &buf), ERROR_NOT_SUPPORTED);
  settings.Write("DomainDirectory = sz:" + settings.dir() + "\n");  // a directory: unreadable
  EXPECT_EQ(NetGetDCName(nullptr, "SALES", &buf), ERROR_OPEN_FAILED);
  EXPECT_EQ(WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, nullptr, &h), ERROR_OPEN_FAILED);
}

// Each call either answers in full or fails without handing anything out; a setting that could
// not be read falls back to its default (no hosts file, no directory).
TEST(NetApi, MemoryShortageFailsCleanly) {
  ScopedSettingsFile settings;
  UseTestFiles(settings, "ComputerName = sz:PDC01\n");
  bool host_saw_nomem = false;
  for_each_alloc_failure(
      [&] {
        qor_hostent* e = nullptr;
        LPBYTE dc = nullptr;
        LPBYTE info = nullptr;
        HANDLE h = nullptr;
        int host_status = qor_host_by_name("pdc01", &e);
        NET_API_STATUS dc_status = NetGetDCName(nullptr, "MARKETING", &dc);
        NET_API_STATUS info_status = NetWkstaGetInfo(nullptr, 101, &info);
        DWORD enum_status = WNetOpenEnumA(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, nullptr, &h);
        if (host_status == QOR_HOST_OK) {
          EXPECT_EQ(Addrs(e), (std::vector<std::string>{"10.0.0.1", "10.0.0.3"}));
          qor_host_free(e);
        } else {  // the system resolver does not know the name
          EXPECT_NE(host_status, WSAEINVAL);
          EXPECT_EQ(e, nullptr);
          host_saw_nomem |= host_status == WSA_NOT_ENOUGH_MEMORY;
        }
        if (dc_status == NERR_Success) {
          EXPECT_STREQ(reinterpret_cast<char*>(dc), "\\\\mkt-pdc");
        } else {
          EXPECT_TRUE(dc_status == ERROR_NOT_ENOUGH_MEMORY || dc_status == NERR_DCNotFound);
          EXPECT_EQ(dc, nullptr);
        }
        NetApiBufferFree(dc);
        if (info_status != NERR_Success) {
          EXPECT_EQ(info, nullptr);
        }
        NetApiBufferFree(info);
        if (enum_status == NO_ERROR) {
          WNetCloseEnum(h);
        } else {
          EXPECT_EQ(enum_status, ERROR_NOT_ENOUGH_MEMORY);
          EXPECT_EQ(h, nullptr);
        }
        return host_status == QOR_HOST_OK && dc_status == NERR_Success &&
               info_status == NERR_Success && enum_status == NO_ERROR;
      },
      false);
  EXPECT_TRUE(host_saw_nomem);  // the entry's own allocation failed in one round
}

}  // namespace
