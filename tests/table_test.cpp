#include "registry/table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/mbstring.h"
#include "platform/memory.h"
#include "registry/status.h"

namespace {

int cmp_calls = 0;
int counting_cmp(const char* a, const char* b) {
  ++cmp_calls;
  return _mbscmp(a, b);
}

int freed = 0;
void count_free(void*) { ++freed; }

std::vector<std::string> keys_of(tabhandle_t* ha) {
  std::vector<std::string> keys;
  NS__TabEnum(
      ha,
      [](tabhandle*, const char* key, void*, void* priv) {
        static_cast<std::vector<std::string>*>(priv)->push_back(key);
        return 0;
      },
      &keys);
  return keys;
}

void* tag(intptr_t n) { return reinterpret_cast<void*>(n); }

TEST(Table, EmptyTableAnswersWithoutComparing) {
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, counting_cmp), NS_S_OK);
  cmp_calls = 0;
  void* data = tag(99);
  EXPECT_EQ(NS__TabGet(ha, "a", &data), NS_S_NOENTRY);
  EXPECT_EQ(data, tag(99));
  EXPECT_EQ(NS__TabDel(ha, "a", &data), NS_S_NOENTRY);
  EXPECT_EQ(NS__TabEnum(
                ha, [](tabhandle*, const char*, void*, void*) { return 1; }, nullptr),
            NS_S_OK);
  EXPECT_EQ(cmp_calls, 0);
  EXPECT_EQ(NS__TabGetNumberOfEntry(ha), 0);
  NS__TabTerm(ha, nullptr);
}

TEST(Table, KeepsOrderAndGrowsBySixteenSlots) {
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  // Fill to 16, 17, 32 and 33 in an order that inserts at the front, middle and end.
  std::vector<std::string> expect;
  char key[8];
  for (int i = 0; i < 33; ++i) {
    int k = (i * 7) % 33 + 100;
    std::snprintf(key, sizeof key, "k%d", k);
    ASSERT_EQ(NS__TabAdd(ha, key, tag(k), nullptr), NS_S_OK);
    expect.insert(std::upper_bound(expect.begin(), expect.end(), key), key);
    EXPECT_EQ(ha->size, (i + 16) / 16 * 16) << i + 1 << " entries";
    ASSERT_EQ(keys_of(ha), expect);
  }
  for (const auto& k : expect) {  // the data moved with its key
    void* data = nullptr;
    ASSERT_EQ(NS__TabGet(ha, k.c_str(), &data), NS_S_OK);
    EXPECT_EQ(data, tag(std::stoi(k.substr(1))));
  }
  NS__TabTerm(ha, nullptr);
}

TEST(Table, PresentKeyIsReplacedOnlyWithOlddataAndKeepsItsFirstSpelling) {
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbsicmp), NS_S_OK);
  ASSERT_EQ(NS__TabAdd(ha, "dom", tag(1), nullptr), NS_S_OK);
  EXPECT_EQ(NS__TabAdd(ha, "DOM", tag(2), nullptr), NS_S_EXISTS);
  void* data = nullptr;
  ASSERT_EQ(NS__TabGet(ha, "Dom", &data), NS_S_OK);
  EXPECT_EQ(data, tag(1));

  void* old = nullptr;
  ASSERT_EQ(NS__TabAdd(ha, "DOM", tag(2), &old), NS_S_OK);
  EXPECT_EQ(old, tag(1));
  ASSERT_EQ(NS__TabGet(ha, "dom", &data), NS_S_OK);
  EXPECT_EQ(data, tag(2));
  EXPECT_EQ(keys_of(ha), std::vector<std::string>{"dom"});
  EXPECT_EQ(NS__TabGetNumberOfEntry(ha), 1);
  NS__TabTerm(ha, nullptr);
}

TEST(Table, DeletingKeepsTheSlotsForReuse) {
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  for (const char* k : {"m", "a", "z"}) ASSERT_EQ(NS__TabAdd(ha, k, tag(k[0]), nullptr), NS_S_OK);
  void* data = nullptr;
  ASSERT_EQ(NS__TabDel(ha, "m", &data), NS_S_OK);
  EXPECT_EQ(data, tag('m'));
  EXPECT_EQ(NS__TabDel(ha, "m", &data), NS_S_NOENTRY);
  EXPECT_EQ(keys_of(ha), (std::vector<std::string>{"a", "z"}));
  ASSERT_EQ(NS__TabDel(ha, "a", &data), NS_S_OK);
  ASSERT_EQ(NS__TabDel(ha, "z", &data), NS_S_OK);
  EXPECT_EQ(ha->cnt, 0);
  tabentry* slots = ha->tab;
  ASSERT_EQ(NS__TabAdd(ha, "n", nullptr, nullptr), NS_S_OK);
  EXPECT_EQ(ha->size, 16);
  EXPECT_EQ(ha->tab, slots);
  NS__TabTerm(ha, nullptr);
}

TEST(Table, EnumerationStopsOnTheFirstNonZeroResult) {
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  for (const char* k : {"c", "a", "b"}) ASSERT_EQ(NS__TabAdd(ha, k, nullptr, nullptr), NS_S_OK);
  std::vector<std::string> seen;
  int rc = NS__TabEnum(
      ha,
      [](tabhandle*, const char* key, void*, void* priv) {
        auto* s = static_cast<std::vector<std::string>*>(priv);
        s->push_back(key);
        return s->size() == 2 ? 7 : 0;
      },
      &seen);
  EXPECT_EQ(rc, 7);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
  NS__TabTerm(ha, nullptr);
}

TEST(Table, TermAndKeyListReleaseDataThroughTheUsersFunction) {
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  ASSERT_EQ(NS__TabAdd(ha, "x", tag(1), nullptr), NS_S_OK);
  ASSERT_EQ(NS__TabAdd(ha, "y", nullptr, nullptr), NS_S_OK);  // null data is not released
  freed = 0;
  NS__TabTerm(ha, count_free);
  EXPECT_EQ(freed, 1);

  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  tabkeylist_t list{7, reinterpret_cast<char**>(tag(8))};
  ASSERT_EQ(NS__TabConvKeyList(ha, &list, count_free), NS_S_OK);  // destroys the table
  EXPECT_EQ(list.len, 0u);
  EXPECT_EQ(list.val, nullptr);

  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  for (const char* k : {"beta", "gamma", "alpha"}) {
    ASSERT_EQ(NS__TabAdd(ha, k, tag(1), nullptr), NS_S_OK);
  }
  freed = 0;
  ASSERT_EQ(NS__TabConvKeyList(ha, &list, count_free), NS_S_OK);
  EXPECT_EQ(freed, 3);
  ASSERT_EQ(list.len, 3u);
  EXPECT_STREQ(list.val[0], "alpha");
  EXPECT_STREQ(list.val[1], "beta");
  EXPECT_STREQ(list.val[2], "gamma");
  for (uint32_t i = 0; i < list.len; ++i) qor_free(list.val[i]);
  qor_free(list.val);
}

TEST(Table, OutOfMemoryLeavesTheTableAsItWas) {
  tabhandle_t* ha = nullptr;
  qor_alloc_fail_at(1);
  EXPECT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_NOMEM);
  qor_alloc_fail_at(0);
  EXPECT_EQ(ha, nullptr);

  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  char key[8];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(key, sizeof key, "k%02d", i * 2);
    ASSERT_EQ(NS__TabAdd(ha, key, nullptr, nullptr), NS_S_OK);
  }
  // The seventeenth key needs its copy (1st allocation) and the growth (2nd).
  for (long n : {1, 2}) {
    qor_alloc_fail_at(n);
    EXPECT_EQ(NS__TabAdd(ha, "k05", nullptr, nullptr), NS_S_NOMEM);
    EXPECT_TRUE(qor_alloc_failed());
    qor_alloc_fail_at(0);
    EXPECT_EQ(ha->cnt, 16);
    EXPECT_EQ(ha->size, 16);
    void* data;
    EXPECT_EQ(NS__TabGet(ha, "k05", &data), NS_S_NOENTRY);
    EXPECT_EQ(NS__TabGet(ha, "k30", &data), NS_S_OK);
  }
  tabkeylist_t list{};
  qor_alloc_fail_at(1);
  EXPECT_EQ(NS__TabConvKeyList(ha, &list, nullptr), NS_S_NOMEM);
  qor_alloc_fail_at(0);
  EXPECT_EQ(keys_of(ha).size(), 16u);  // still a whole table, still ours
  NS__TabTerm(ha, nullptr);
}

TEST(Table, RandomOrderInsertsAndDeletesKeepStrictOrder) {
  std::mt19937 rng(12345);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back(std::to_string(rng() % 100000));
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  std::vector<std::string> model;
  for (const auto& k : keys) {
    int rc = NS__TabAdd(ha, k.c_str(), nullptr, nullptr);
    bool present = std::find(model.begin(), model.end(), k) != model.end();
    ASSERT_EQ(rc, present ? NS_S_EXISTS : NS_S_OK);
    if (!present) model.push_back(k);
  }
  std::shuffle(keys.begin(), keys.end(), rng);
  for (size_t i = 0; i < keys.size(); i += 3) {
    void* data;
    int rc = NS__TabDel(ha, keys[i].c_str(), &data);
    auto it = std::find(model.begin(), model.end(), keys[i]);
    ASSERT_EQ(rc, it != model.end() ? NS_S_OK : NS_S_NOENTRY);
    if (it != model.end()) model.erase(it);
  }
  std::sort(model.begin(), model.end());
  EXPECT_EQ(keys_of(ha), model);
  NS__TabTerm(ha, nullptr);
}

// AddressSanitizer's realloc always moves the block, which makes growth by 16
// slots quadratic; the sanitizer run loads fewer keys.
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr int kManyKeys = 20000;
#else
constexpr int kManyKeys = 1000000;
#endif

TEST(Table, AMillionKeysInStartUpOrder) {
  constexpr int n = kManyKeys;
  tabhandle_t* ha = nullptr;
  ASSERT_EQ(NS__TabInit(&ha, _mbscmp), NS_S_OK);
  char key[16];
  for (int i = 0; i < n; ++i) {
    std::snprintf(key, sizeof key, "obj%07d", i);
    ASSERT_EQ(NS__TabAdd(ha, key, tag(i + 1), nullptr), NS_S_OK);
  }
  EXPECT_EQ(NS__TabGetNumberOfEntry(ha), n);
  EXPECT_EQ(ha->size, n / 16 * 16 + (n % 16 ? 16 : 0));
  for (int i = 0; i < n; ++i) {
    std::snprintf(key, sizeof key, "obj%07d", i);
    void* data = nullptr;
    ASSERT_EQ(NS__TabGet(ha, key, &data), NS_S_OK);
    ASSERT_EQ(data, tag(i + 1));
  }
  void* data;
  EXPECT_EQ(NS__TabGet(ha, "obj", &data), NS_S_NOENTRY);
  EXPECT_EQ(NS__TabGet(ha, "obj9999999", &data), NS_S_NOENTRY);
  for (int i = n - 1; i >= 0; --i) {
    std::snprintf(key, sizeof key, "obj%07d", i);
    ASSERT_EQ(NS__TabDel(ha, key, &data), NS_S_OK);
    ASSERT_EQ(data, tag(i + 1));
  }
  EXPECT_EQ(NS__TabGetNumberOfEntry(ha), 0);
  NS__TabTerm(ha, nullptr);
}

TEST(Mbstring, ComparisonsOnUtf8) {
  EXPECT_LT(_mbscmp("abc", "abd"), 0);
  EXPECT_EQ(_mbscmp("abc", "abc"), 0);
  EXPECT_LT(_mbscmp("Zeta", "alpha"), 0);  // with letter case: upper case first
  EXPECT_LT(_mbscmp("z", "\xC3\xA9"), 0);  // code-point order: z < U+00E9

  EXPECT_EQ(_mbsicmp("Sales", "sALES"), 0);
  EXPECT_GT(_mbsicmp("Zeta", "alpha"), 0);
  EXPECT_LT(_mbsicmp("_x", "ax"), 0);  // folds to lower case
  // Only ASCII letters fold: E-acute and its capital stay different.
  EXPECT_NE(_mbsicmp("\xC3\xA9", "\xC3\x89"), 0);
  EXPECT_EQ(_mbsicmp("caf\xC3\xA9", "CAF\xC3\xA9"), 0);
  EXPECT_EQ(_mbsicmp("ok", "\xC3"), _NLSCMPERROR);
  EXPECT_EQ(_mbsicmp("\xFF", "ok"), _NLSCMPERROR);
  EXPECT_EQ(_mbsicmp(nullptr, "ok"), _NLSCMPERROR);
}

}  // namespace
