// The registry through its front: class routing, the family rules,
// association following, member lists, the association, member-list and
// server overwrite rules, refused strings and every out-of-memory path.
#include "registry/nameobj.h"

#include <gtest/gtest.h>

#include <functional>

#include "registry/svassoc_p.h"
#include "registry_testutil.h"

using namespace regtest;

namespace {

using Registry = RegistryTest;

// A family keeps one name space (a forced creation deletes the other member
// first); an association is followed to its server, a family target to the
// member holding the name, for at most sixteen hops.
TEST_F(Registry, FamiliesAndAssociationsResolveToTheirServer) {
  Server sv({"ncacn_ip_tcp:10.0.0.1[99]", "ncacn_np:srv[\\pipe\\x]"}, "qhost", 3);
  ASSERT_EQ(create_server(NS_CLASS_SUPERV, "S", sv), NS_S_OK);
  EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "S", sv), NS_S_EXISTS);
  EXPECT_EQ(create_server(NS_CLASS_NTFY, "S", sv), NS_S_OK);  // ntfy stands apart
  ASSERT_EQ(create_assoc(NS_CLASS_LP, "X", id(NS_CLASS_ANYSVR, "S", "elsewhere")), NS_S_OK);
  EXPECT_EQ(create_assoc(NS_CLASS_PP, "X", id(NS_CLASS_SUPERV, "S")), NS_S_EXISTS);
  EXPECT_EQ(create_assoc(NS_CLASS_PP, "X", id(NS_CLASS_ANYSVR, "S"), 1), NS_S_OK);
  EXPECT_EQ(names(NS_CLASS_ANYPRN), std::vector<std::string>{"pp:X"});
  Lookup r = get(NS_CLASS_ANYPRN, "X");
  EXPECT_EQ(r.objclass, NS_CLASS_PP);
  EXPECT_EQ(r.server_class, NS_CLASS_SUPERV);
  EXPECT_EQ(host_of(NS_CLASS_PP, "X"), NS_S_NOCLASS);  // family targets are not resolved here

  // q1 -> ... -> q16 -> S: sixteen associations followed; one more answers 17,
  // as a dangling one does.
  for (int i = 1; i <= NS_MAX_ASSOC_HOPS; i++) {
    bool last = i == NS_MAX_ASSOC_HOPS;
    std::string name = "q" + std::to_string(i), next = last ? "S" : "q" + std::to_string(i + 1);
    qorobjid target = id(last ? NS_CLASS_SUPERV : NS_CLASS_QUEUE, next.c_str());
    ASSERT_EQ(create_assoc(NS_CLASS_QUEUE, name.c_str(), target), NS_S_OK);
  }
  EXPECT_EQ(host_of(NS_CLASS_QUEUE, "q1"), NS_S_OK);
  ASSERT_EQ(create_assoc(NS_CLASS_QUEUE, "q0", id(NS_CLASS_QUEUE, "q1")), NS_S_OK);
  ASSERT_EQ(create_assoc(NS_CLASS_QUEUE, "d", id(NS_CLASS_SPOOLER, "gone")), NS_S_OK);
  for (const char* name : {"q0", "d"}) {
    r = get(NS_CLASS_QUEUE, name);
    EXPECT_EQ(r.status, NS_S_NOTARGET) << name;
    EXPECT_EQ(r.objclass, NS_CLASS_NONE) << name;
    EXPECT_EQ(host_of(NS_CLASS_QUEUE, name), NS_S_NOTARGET) << name;
  }
  EXPECT_EQ(get(NS_CLASS_QUEUE, "q1").server, "S");  // the counter does not leak
  // A cycle ends the same way, and blocks a re-creation in the family until deleted.
  ASSERT_EQ(create_assoc(NS_CLASS_LP, "A", id(NS_CLASS_PP, "B")), NS_S_OK);
  ASSERT_EQ(create_assoc(NS_CLASS_PP, "B", id(NS_CLASS_LP, "A")), NS_S_OK);
  EXPECT_EQ(create_assoc(NS_CLASS_LP, "A", id(NS_CLASS_SUPERV, "S"), 1), NS_S_NOTARGET);
  ASSERT_EQ(delete_obj(NS_CLASS_LP, "A"), NS_S_OK);
  EXPECT_EQ(create_assoc(NS_CLASS_LP, "A", id(NS_CLASS_SUPERV, "S")), NS_S_OK);
  EXPECT_EQ(get(NS_CLASS_PP, "B").server, "S");
}

TEST_F(Registry, AssociationOverwriteNeedsTheSameTarget) {
  ASSERT_EQ(create_assoc(NS_CLASS_LP, "P", id(NS_CLASS_SPOOLER, "S", "dom")), NS_S_OK);
  EXPECT_EQ(create_assoc(NS_CLASS_LP, "P", id(NS_CLASS_SPOOLER, "S", "DOM")), NS_S_NOTARGET);
  Server sv({"ncacn_ip_tcp:10.0.0.1"}, "h");
  ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "S", sv), NS_S_OK);
  ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "T", sv), NS_S_OK);
  // Same class and name, domain differing in letter case only: allowed.
  EXPECT_EQ(create_assoc(NS_CLASS_LP, "P", id(NS_CLASS_SPOOLER, "S", "DOM")), NS_S_OK);
  EXPECT_EQ(create_assoc(NS_CLASS_LP, "P", id(NS_CLASS_SPOOLER, "s")), NS_S_EXISTS);
  EXPECT_EQ(get(NS_CLASS_LP, "P").server, "S");
  EXPECT_EQ(create_assoc(NS_CLASS_LP, "P", id(NS_CLASS_SPOOLER, "T"), 1), NS_S_OK);
  EXPECT_EQ(get(NS_CLASS_LP, "P").server, "T");
  EXPECT_EQ(names(NS_CLASS_LP, "zzz"), std::vector<std::string>{"lp:P@DOM"});  // name ignored
}

TEST_F(Registry, StringsARecoveryFileCannotCarryAreRefused) {
  Server nullbind({"ncacn_ip_tcp:10.0.0.1", nullptr}, "h"), nohost({"ncacn_ip_tcp:h"}, nullptr),
      nobind({}, "h"), sup({"ncacn_ip_tcp:h"}, "h");
  ASSERT_EQ(create_server(NS_CLASS_SUPERV, "T", sup), NS_S_OK);
  ASSERT_EQ(create_assoc(NS_CLASS_LP, "X", id(NS_CLASS_SUPERV, "T")), NS_S_OK);
  std::string lp_before = read_file(file("lp"));
  const char* bad[] = {"",         "#x",           "a\nb",         "a\rb",     "\xff\xfe",
                       "\xc0\xaf", "\xe0\x80\x80", "\xed\xa0\x80", "\xe6\x9d", "\xf4\x90\x80\x80"};
  for (const char* s : bad) {
    SCOPED_TRACE(testing::PrintToString(std::string(s)));
    // Checked before the forced deletion of the family's other member.
    EXPECT_EQ(create_assoc(NS_CLASS_PP, s, id(NS_CLASS_SPOOLER, "S"), 1), NS_S_NODATA);
    Server badbind({"ncacn_ip_tcp:10.0.0.1", s}, "h");
    EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "T", badbind, 1), NS_S_NODATA);
    Server badhost({"ncacn_ip_tcp:10.0.0.1"}, s);
    EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "T", badhost, 1), NS_S_NODATA);
    EXPECT_EQ(create_assoc(NS_CLASS_PP, "X", id(NS_CLASS_SPOOLER, s), 1), NS_S_NODATA);
    EXPECT_EQ(create_assoc(NS_CLASS_PP, "X", id(NS_CLASS_SPOOLER, "S", s), 1), NS_S_NODATA);
    EXPECT_EQ(create_group(NS_CLASS_GROUP, "G", {id(NS_CLASS_LP, "a"), id(NS_CLASS_LP, s)}),
              NS_S_NODATA);
    EXPECT_EQ(create_group(NS_CLASS_GROUP, "G", {id(NS_CLASS_LP, "a", s)}), NS_S_NODATA);
  }
  for (Server* sv : {&nullbind, &nohost, &nobind})
    EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "T", *sv, 1), NS_S_NODATA);
  // A class the file cannot name, refused before the forced deletion too.
  EXPECT_EQ(create_assoc(NS_CLASS_PP, "X", id(NS_CLASS_COUNT, "S"), 1), NS_S_NOCLASS);
  EXPECT_EQ(create_group(NS_CLASS_GROUP, "G", {id(NS_CLASS_LP, nullptr)}), NS_S_NOID);
  qorobjid noname = id(NS_CLASS_LP, nullptr), nolist = id(NS_CLASS_GROUP, "G");
  int created = 0;
  EXPECT_EQ(NS__CreateObj(&noname, nullptr, 0, nullptr, nullptr, &created), NS_S_NOID);
  EXPECT_EQ(NS__CreateObj(&nolist, nullptr, 0, nullptr, nullptr, &created), NS_S_NODATA);
  qorobjects noarray{1, nullptr};  // a count without its members
  EXPECT_EQ(NS__CreateObj(&nolist, nullptr, 0, nullptr, &noarray, &created), NS_S_NODATA);
  for (int cls : {-1, NS_CLASS_COUNT}) {  // a class outside the table, as the wire may carry
    qorobjid outside = id(cls, "x");
    EXPECT_EQ(NS__CreateObj(&outside, nullptr, 0, nullptr, nullptr, &created), NS_S_NOCLASS);
  }

  EXPECT_EQ(names(NS_CLASS_ANYPRN), std::vector<std::string>{"lp:X"});
  EXPECT_EQ(names(NS_CLASS_ANYSVR), std::vector<std::string>{"superv:T"});
  EXPECT_EQ(read_file(file("lp")), lp_before);
  for (const char* cls : {"pp", "spooler", "group"}) EXPECT_FALSE(exists(file(cls))) << cls;
  // A name with blanks, characters from U+0080 to U+10FFFF, a backslash and more bytes than the
  // writer's line buffer holds is carried whole.
  std::string name =
      " Tokyo \xc2\x80\xe6\x9d\xb1\xe4\xba\xac\\1 \xf4\x8f\xbf\xbf" + std::string(600, 'x');
  ASSERT_EQ(create_spooler(name.c_str()), NS_S_OK);
  ASSERT_EQ(restart(), NS_S_OK);
  EXPECT_EQ(names(NS_CLASS_SPOOLER), std::vector<std::string>{name});
  NS__ms_domain = const_cast<char*>("#DOM");  // every record's default domain: refused
  EXPECT_EQ(restart(), NS_S_SYSFAIL);
}

// A member's class is not checked at registration; the recovery file cannot name a class outside
// the table, so the rewrite refuses it with 5 and the table is rolled back.
TEST_F(Registry, RecordTheFileCannotWriteIsRolledBackWithTheWritersStatus) {
  ASSERT_EQ(create_group(NS_CLASS_GROUP, "G", {id(NS_CLASS_LP, "P")}), NS_S_OK);
  std::string group_before = read_file(file("group"));
  EXPECT_EQ(create_group(NS_CLASS_GROUP, "G", {id(NS_CLASS_LP, "a"), id(11, "b")}, 1),
            NS_S_NOCLASS);
  EXPECT_EQ(names(NS_CLASS_GROUP, "G"), std::vector<std::string>{"lp:P@DOM"});
  EXPECT_EQ(read_file(file("group")), group_before);
}

// The status of a listing, which hands out nothing when it fails.
int list_status(int nsclass, const char* name) {
  qorobjid obj = id(nsclass, name);
  qorobjects objs{};
  int status = NS__ListObj(&obj, &objs);
  EXPECT_TRUE(status == NS_S_OK || objs.len == 0);
  NS__free_qorobjects(&objs);
  return status;
}

// Every allocation of each operation, and of a start, made to fail in turn:
// 14, and the registry (table and file) as it was.
TEST_F(Registry, EveryAllocationFailureAnswers14AndChangesNothing) {
  Server sv({"ncacn_ip_tcp:10.0.0.1[1]", "ncacn_ip_tcp:10.0.0.2[2]"}, "h", 5);
  // Sixteen spoolers: the next one grows the class's table.
  ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "S", sv), NS_S_OK);
  for (int i = 1; i < 16; i++)
    ASSERT_EQ(create_server(NS_CLASS_SPOOLER, std::to_string(i).c_str(), sv), NS_S_OK);
  ASSERT_EQ(create_server(NS_CLASS_SUPERV, "V", sv), NS_S_OK);
  ASSERT_EQ(create_assoc(NS_CLASS_LP, "P", id(NS_CLASS_SPOOLER, "S")), NS_S_OK);
  ASSERT_EQ(create_assoc(NS_CLASS_PP, "PP", id(NS_CLASS_SPOOLER, "S")), NS_S_OK);
  ASSERT_EQ(create_group(NS_CLASS_GROUP, "G", {id(NS_CLASS_LP, "a"), id(NS_CLASS_LP, "b")}),
            NS_S_OK);

  struct Step {
    const char* what;
    std::function<int()> run;
  };
  std::vector<Step> steps = {
      {"create spooler", [&] { return create_server(NS_CLASS_SPOOLER, "S2", sv); }},
      {"replace superv", [&] { return create_server(NS_CLASS_SUPERV, "V", sv, 1); }},
      {"create lp", [&] { return create_assoc(NS_CLASS_LP, "P2", id(NS_CLASS_SPOOLER, "S")); }},
      {"create group",
       [&] {
         return create_group(NS_CLASS_GROUP, "H", {id(NS_CLASS_LP, "a"), id(NS_CLASS_LP, "b")});
       }},
      {"get lp", [&] { return get(NS_CLASS_LP, "P").status; }},
      {"gethost lp", [&] { return host_of(NS_CLASS_LP, "P"); }},
      {"list any-prn", [&] { return list_status(NS_CLASS_ANYPRN, nullptr); }},
      {"list group members", [&] { return list_status(NS_CLASS_GROUP, "G"); }},
      // A start that fails leaves no registry; the next one loads the files whole.
      {"restart",
       [&] {
         int status = restart();
         if (status != NS_S_OK) {
           EXPECT_EQ(NS__objlock, nullptr);
           EXPECT_EQ(NS__InitNameObj(data.c_str()), NS_S_OK);
         }
         return status;
       }},
  };
  const char* classes[] = {"lp", "pp", "spooler", "superv", "group"};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    std::vector<std::string> files;
    for (const char* c : classes) files.push_back(read_file(file(c)));
    auto prn = names(NS_CLASS_ANYPRN), svr = names(NS_CLASS_ANYSVR), grp = names(NS_CLASS_GROUP);
    int failures = for_each_alloc_failure([&] {
      int status = step.run();
      if (!qor_alloc_failed()) return status == NS_S_OK;
      EXPECT_EQ(status, NS_S_NOMEM);
      EXPECT_EQ(names(NS_CLASS_ANYPRN), prn);
      EXPECT_EQ(names(NS_CLASS_ANYSVR), svr);
      EXPECT_EQ(names(NS_CLASS_GROUP), grp);
      for (size_t i = 0; i < std::size(classes); i++)
        EXPECT_EQ(read_file(file(classes[i])), files[i]) << classes[i];
      return false;
    });
    EXPECT_GT(failures, 1);
  }
}

// The server overwrite rule: a registration replaces the current one without
// force only from the same machine, decided by host name and by the addresses
// the bindings' hosts resolve to through the hosts file of the settings.
TEST_F(Registry, ServerOverwriteOnlyFromTheSameMachineAndEveryAllocationFailureChangesNothing) {
  ScopedSettingsFile settings;
  settings.Write("HostsFile = sz:" + settings.WriteFile("hosts",
                                                        "10.9.0.1 printhost printhost.example\n"
                                                        "10.9.0.2 printhost\n"
                                                        "10.9.0.3 otherbox\n"));
  Server current({"ncacn_np:x[\\pipe\\s]", "ncacn_ip_tcp:10.9.0.1[5000]"}, "PrintHost", 1);
  ASSERT_EQ(create_server(NS_CLASS_SPOOLER, "S", current), NS_S_OK);
  const std::string before = read_file(file("spooler"));
  Server sv({"ncacn_ip_tcp:printhost[6000]"}, "printhost", 9);
  EXPECT_GT(for_each_alloc_failure([&] {
              int status = create_server(NS_CLASS_SPOOLER, "S", sv);
              if (status == NS_S_OK) return true;
              // The settings reader answers its default when memory runs out, and the
              // hosts file is then not consulted: the lookup fails (19) rather than 14.
              EXPECT_TRUE(status == NS_S_NOMEM || status == NS_S_SYSFAIL) << status;
              EXPECT_EQ(read_file(file("spooler")), before);
              return false;
            }),
            5);
  // Another machine gets 16, by its name or by its addresses; an unresolvable binding, 19.
  Server other({"ncacn_ip_tcp:10.9.0.3[5000]"}, "otherbox"),
      alias({"ncacn_ip_tcp:10.9.0.3[5000]"}, "printhost"),
      nowhere({"ncacn_ip_tcp:x.invalid[1]"}, "printhost");
  for (Server* s : {&other, &alias})
    EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "S", *s), NS_S_EXISTS);
  EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "S", nowhere), NS_S_SYSFAIL);
  // A binding without an address names this machine.
  Server here({"ncacn_ip_tcp:[7000]"}, "printhost");
  for (int i = 0; i < 2; i++) EXPECT_EQ(create_server(NS_CLASS_SPOOLER, "L", here), NS_S_OK);
}

}  // namespace
