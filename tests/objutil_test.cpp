#include "registry/objutil.h"

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "records_testutil.h"
#include "registry/status.h"

namespace {

TEST(ObjutilClass, NamesAndNumbersRoundTrip) {
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
}

TEST(ObjutilClass, OtherSpellingsAreNoClassAndLeaveTheOutputAlone) {
  for (const char* bad : {"Queue", "LP", " queue", "queue ", "", "any_prn", "lpx", "l"}) {
    int nsclass = 42;
    EXPECT_EQ(NS__StrToClass(bad, &nsclass), NS_S_NOCLASS) << "'" << bad << "'";
    EXPECT_EQ(nsclass, 42);
  }
}

// Runs `attempt` with the N-th allocation failing for N = 1, 2, ... until it
// succeeds without the injected failure firing; `attempt` checks each failure
// itself. Returns how many failing runs there were.
template <typename F>
int for_every_allocation(F attempt) {
  int failures = 0;
  for (long n = 1;; ++n) {
    qor_alloc_fail_at(n);
    bool ok = attempt();
    bool fired = qor_alloc_failed();
    qor_alloc_fail_at(0);
    if (!fired) {
      EXPECT_TRUE(ok) << "failed without an injected failure at " << n;
      return failures;
    }
    EXPECT_FALSE(ok) << "allocation " << n << " failed unnoticed";
    ++failures;
    if (n > 1000) {
      ADD_FAILURE() << "runaway";
      return failures;
    }
  }
}

TEST(ObjutilCopy, IdentityCopiesNullsAsNulls) {
  qorobjid src = objid(NS_CLASS_QUEUE, "q1", nullptr);
  qorobjid dest{};
  ASSERT_EQ(NS__copy_qorobjid(&dest, &src), NS_S_OK);
  EXPECT_TRUE(same_objid(dest, src));
  EXPECT_NE(dest.name, src.name);
  NS__free_qorobjid(&dest);
}

TEST(ObjutilCopy, EmptyListsCopyAsEmptyWhateverTheirArray) {
  qorobjid junk[1] = {objid(0, "x", "y")};
  qorobjects objs{0, junk};
  qorobjects objs_copy{};
  ASSERT_EQ(NS__copy_qorobjects(&objs_copy, &objs), NS_S_OK);
  EXPECT_EQ(objs_copy.len, 0);
  EXPECT_EQ(objs_copy.val, nullptr);
  NS__free_qorobjects(&objs);  // len 0: the array is not looked at

  char* strs[1] = {nullptr};
  rpcbinding b{0, strs};
  rpcbinding b_copy{};
  ASSERT_EQ(NS__copy_rpcbinding(&b_copy, &b), NS_S_OK);
  EXPECT_EQ(b_copy.len, 0);
  EXPECT_EQ(b_copy.val, nullptr);
}

TEST(ObjutilCopy, MalformedListsAreRefusedWithNothingAllocated) {
  qorobjid junk[1] = {objid(0, "x", "y")};
  qorobjects objs{-1, junk};
  qorobjects objs_copy{3, junk};
  EXPECT_EQ(NS__copy_qorobjects(&objs_copy, &objs), NS_S_NODATA);
  EXPECT_EQ(objs_copy.len, 0);
  EXPECT_EQ(objs_copy.val, nullptr);
  NS__free_qorobjects(&objs);  // a negative count is empty too

  char* one[1] = {const_cast<char*>("ncacn_ip_tcp:h")};
  rpcbinding b{-5, one};
  rpcbinding b_copy{};
  EXPECT_EQ(NS__copy_rpcbinding(&b_copy, &b), NS_S_NODATA);
  EXPECT_EQ(b_copy.val, nullptr);
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

TEST(ObjutilCopy, EveryOutOfMemoryPathLeavesTheCopyEmpty) {
  qorobjid members[4] = {objid(NS_CLASS_LP, "p1", "DOM"), objid(NS_CLASS_PP, "p2", nullptr),
                         objid(NS_CLASS_SPOOLER, "s1", "OTHER"),
                         objid(NS_CLASS_QUEUE, nullptr, "DOM")};
  qorobjects objs{4, members};
  EXPECT_EQ(for_every_allocation([&] {
              qorobjects dest{};
              int rc = NS__copy_qorobjects(&dest, &objs);
              if (rc != NS_S_OK) {
                EXPECT_EQ(rc, NS_S_NOMEM);
                EXPECT_EQ(dest.len, 0);
                EXPECT_EQ(dest.val, nullptr);
                return false;
              }
              EXPECT_TRUE(same_objects(dest, objs));
              NS__free_qorobjects(&dest);
              return true;
            }),
            1 + 2 + 1 + 2 + 1);  // array, then each name and domain present

  EXPECT_EQ(for_every_allocation([&] {
              qorobjid dest{};
              int rc = NS__copy_qorobjid(&dest, &members[0]);
              if (rc != NS_S_OK) {
                EXPECT_EQ(rc, NS_S_NOMEM);
                EXPECT_EQ(dest.nsclass, NS_CLASS_LP);
                EXPECT_EQ(dest.name, nullptr);
                EXPECT_EQ(dest.domain, nullptr);
                return false;
              }
              EXPECT_TRUE(same_objid(dest, members[0]));
              NS__free_qorobjid(&dest);
              return true;
            }),
            2);

  char* strs[3] = {const_cast<char*>("ncacn_ip_tcp:10.0.0.1[5000]"),
                   const_cast<char*>("ncacn_ip_tcp:10.0.0.2[5000]"),
                   const_cast<char*>("ncacn_ip_tcp:10.0.0.3")};
  qor_serverinfo info{{3, strs}, const_cast<char*>("printhost"), 5};
  EXPECT_EQ(for_every_allocation([&] {
              qor_serverinfo dest{};
              int rc = NS__copy_qor_serverinfo(&dest, &info);
              if (rc != NS_S_OK) {
                EXPECT_EQ(rc, NS_S_NOMEM);
                EXPECT_EQ(dest.binding.len, 0);
                EXPECT_EQ(dest.binding.val, nullptr);
                EXPECT_EQ(dest.host, nullptr);
                return false;
              }
              EXPECT_TRUE(same_serverinfo(dest, info));
              NS__free_qor_serverinfo(&dest);
              return true;
            }),
            1 + 3 + 1);

  qor_serverinfo hostless{{3, strs}, nullptr, 5};
  qor_serverinfo dest{};
  ASSERT_EQ(NS__copy_qor_serverinfo(&dest, &hostless), NS_S_OK);
  EXPECT_TRUE(same_serverinfo(dest, hostless));
  NS__free_qor_serverinfo(&dest);
}

TEST(ObjutilCopy, ListCopyFailingAtItsThirdElementReleasesTheFirstTwo) {
  qorobjid members[3] = {objid(NS_CLASS_LP, "a", nullptr), objid(NS_CLASS_LP, "b", nullptr),
                         objid(NS_CLASS_LP, "c", nullptr)};
  qorobjects objs{3, members};
  qorobjects dest{};
  qor_alloc_fail_at(4);  // the array, "a", "b", then "c"
  EXPECT_EQ(NS__copy_qorobjects(&dest, &objs), NS_S_NOMEM);
  EXPECT_TRUE(qor_alloc_failed());
  qor_alloc_fail_at(0);
  EXPECT_EQ(dest.len, 0);
  EXPECT_EQ(dest.val, nullptr);  // and the leak checker sees "a" and "b" freed
}

}  // namespace
