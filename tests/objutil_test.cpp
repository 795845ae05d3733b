#include "registry/objutil.h"

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "records_testutil.h"
#include "registry/status.h"
#include "testutil.h"

namespace {

TEST(ObjutilClass, NamesAndNumbersRoundTripAndOtherSpellingsAreNoClass) {
  const char* names[] = {"lp",    "pp",   "any-prn", "spooler", "superv", "any-svr",
                         "queue", "ntfy", "group",   "backup",  "none"};
  for (int i = 0; i < NS_CLASS_COUNT; ++i) {
    ASSERT_STREQ(NS__ClassToStr(i), names[i]);
    int nsclass = -1;
    ASSERT_EQ(NS__StrToClass(names[i], &nsclass), NS_S_OK);
    EXPECT_EQ(nsclass, i);
  }
  EXPECT_EQ(NS__ClassToStr(-1), nullptr);
  EXPECT_EQ(NS__ClassToStr(NS_CLASS_COUNT), nullptr);
  for (const char* bad : {"Queue", "LP", " queue", "queue ", "", "any_prn", "lpx", "l"}) {
    int nsclass = 42;
    EXPECT_EQ(NS__StrToClass(bad, &nsclass), NS_S_NOCLASS) << "'" << bad << "'";
    EXPECT_EQ(nsclass, 42);  // left alone
  }
}

TEST(ObjutilCopy, EmptyListsCopyAsEmptyAndNegativeCountsAreRefused) {
  qorobjid junk[1] = {objid(0, "x", "y")};
  char* strs[1] = {const_cast<char*>("ncacn_ip_tcp:h")};
  // Whatever the array, an empty list copies as empty; a negative count is refused with
  // nothing allocated.
  for (int32_t len : {0, -1}) {
    SCOPED_TRACE(len);
    int want = len == 0 ? NS_S_OK : NS_S_NODATA;
    qorobjects objs{len, junk};
    qorobjects objs_copy{3, junk};
    EXPECT_EQ(NS__copy_qorobjects(&objs_copy, &objs), want);
    EXPECT_EQ(objs_copy.len, 0);
    EXPECT_EQ(objs_copy.val, nullptr);
    NS__free_qorobjects(&objs);  // an empty count: the array is not looked at
    rpcbinding b{len, strs};
    rpcbinding b_copy{5, strs};
    EXPECT_EQ(NS__copy_rpcbinding(&b_copy, &b), want);
    EXPECT_EQ(b_copy.len, 0);
    EXPECT_EQ(b_copy.val, nullptr);
  }
}

TEST(ObjutilCopy, BindingListWithANullStringIsRefusedWhole) {
  char* strs[3] = {const_cast<char*>("ncacn_ip_tcp:10.0.0.1[5000]"), nullptr,
                   const_cast<char*>("ncacn_ip_tcp:10.0.0.2[5000]")};
  rpcbinding b{3, strs};
  rpcbinding dest{7, strs};
  EXPECT_EQ(NS__copy_rpcbinding(&dest, &b), NS_S_NODATA);
  EXPECT_EQ(dest.len, 0);
  EXPECT_EQ(dest.val, nullptr);

  qor_serverinfo info{b, const_cast<char*>("host"), 1};
  qor_serverinfo info_copy{};
  EXPECT_EQ(NS__copy_qor_serverinfo(&info_copy, &info), NS_S_NODATA);
  EXPECT_EQ(info_copy.binding.len, 0);
  EXPECT_EQ(info_copy.host, nullptr);
}

// Each copy fails at every one of its allocations in turn and must leave the copy empty, with
// what it had made so far released (the leak checker sees it): so a list copy failing at its
// third element leaves nothing behind. Null names and domains copy as nulls.
TEST(ObjutilCopy, EveryOutOfMemoryPathLeavesTheCopyEmpty) {
  qorobjid members[4] = {objid(NS_CLASS_LP, "p1", "DOM"), objid(NS_CLASS_PP, "p2", nullptr),
                         objid(NS_CLASS_SPOOLER, "s1", "OTHER"),
                         objid(NS_CLASS_QUEUE, nullptr, "DOM")};
  qorobjects objs{4, members};
  EXPECT_EQ(for_each_alloc_failure([&] {
              qorobjects dest{};
              int rc = NS__copy_qorobjects(&dest, &objs);
              if (rc != NS_S_OK) {
                EXPECT_EQ(rc, NS_S_NOMEM);
                EXPECT_TRUE(dest.len == 0 && dest.val == nullptr);
                return false;
              }
              EXPECT_TRUE(same_objects(dest, objs));
              NS__free_qorobjects(&dest);
              return true;
            }),
            1 + 2 + 1 + 2 + 1);  // array, then each name and domain present

  for (const qorobjid& member : {members[0], members[1]}) {
    int allocations = member.domain != nullptr ? 2 : 1;
    EXPECT_EQ(for_each_alloc_failure([&] {
                qorobjid dest{};
                int rc = NS__copy_qorobjid(&dest, &member);
                if (rc != NS_S_OK) {
                  EXPECT_EQ(rc, NS_S_NOMEM);
                  EXPECT_EQ(dest.nsclass, member.nsclass);
                  EXPECT_TRUE(dest.name == nullptr && dest.domain == nullptr);
                  return false;
                }
                EXPECT_TRUE(same_objid(dest, member));
                NS__free_qorobjid(&dest);
                return true;
              }),
              allocations);
  }

  char* strs[3] = {const_cast<char*>("ncacn_ip_tcp:10.0.0.1[5000]"),
                   const_cast<char*>("ncacn_ip_tcp:10.0.0.2[5000]"),
                   const_cast<char*>("ncacn_ip_tcp:10.0.0.3")};
  for (char* host : {const_cast<char*>("printhost"), static_cast<char*>(nullptr)}) {
    qor_serverinfo info{{3, strs}, host, 5};
    EXPECT_EQ(for_each_alloc_failure([&] {
                qor_serverinfo dest{};
                int rc = NS__copy_qor_serverinfo(&dest, &info);
                if (rc != NS_S_OK) {
                  EXPECT_EQ(rc, NS_S_NOMEM);
                  EXPECT_TRUE(dest.binding.len == 0 && dest.binding.val == nullptr);
                  EXPECT_EQ(dest.host, nullptr);
                  return false;
                }
                EXPECT_TRUE(same_serverinfo(dest, info));
                NS__free_qor_serverinfo(&dest);
                return true;
              }),
              1 + 3 + (host != nullptr ? 1 : 0));
  }
}

}  // namespace
