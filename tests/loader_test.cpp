// Loading the policy from the INI file: keys, defaults, lists, banner, log
// directory, and every way the load can fail without leaving anything behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log/log.h"
#include "kit/test_kit.h"
#include "policy/globals.h"

namespace rg {
namespace {

using test::ReadTextFile;
using test::TempDir;
using test::WriteTextFile;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) ++count;
  closedir(d);
  return count;
}

std::vector<std::string> Entries(const StringList& list) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < list.count; ++i) {
    EXPECT_EQ(std::strlen(list.entries[i]), list.lengths[i]);
    out.emplace_back(list.entries[i], list.lengths[i]);
  }
  return out;
}

// What the engine hands the loader: a zero-filled record, without a log.
FilterPolicy* NewUnloadedPolicy() {
  return static_cast<FilterPolicy*>(HeapAllocZero(sizeof(FilterPolicy)));
}

// A failed load keeps no list, no buffer and no file.
void ExpectNothingKept(const FilterPolicy* p) {
  for (const StringList* list : {&p->Verbs, &p->HttpVersions, &p->Extensions, &p->HostPorts,
                                 &p->DeniedHeaderNames, &p->UrlSequences, &p->QuerySequences}) {
    EXPECT_EQ(list->entries, nullptr);
    EXPECT_EQ(list->lengths, nullptr);
  }
  EXPECT_EQ(p->HeaderLimits.names, nullptr);
  EXPECT_EQ(p->HeaderLimits.nameLengths, nullptr);
  EXPECT_EQ(p->HeaderLimits.limits, nullptr);
  EXPECT_EQ(p->Banner, nullptr);
  EXPECT_EQ(p->LogDirectory, nullptr);
  EXPECT_EQ(p->BlockResponse, nullptr);
  EXPECT_EQ(p->Log, nullptr);
}

// Runs fn in a child process, which then holds whatever fn opened until the
// object goes away. Ready() tells whether fn succeeded there.
struct ChildHolder {
  pid_t pid = -1;
  int release = -1;
  char status = '0';

  explicit ChildHolder(const std::function<bool()>& fn) {
    int ready[2];
    int go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) return;
    fflush(nullptr);
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      char ok = fn() ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(2);
      char c;
      while (read(go[0], &c, 1) < 0) {
      }
      _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    release = go[1];
    if (read(ready[0], &status, 1) != 1) status = '0';
    close(ready[0]);
  }
  bool Ready() const { return pid > 0 && status == '1'; }
  ~ChildHolder() {
    if (release >= 0) close(release);
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

struct LoaderTest : ::testing::Test {
  TempDir dir;
  std::string ini = dir.File("Ravelgard.ini");
  FilterPolicy* policy = nullptr;
  int64_t blocksBefore = 0;

  void SetUp() override {
    blocksBefore = LiveBlockCount();
    policy = NewUnloadedPolicy();
    ASSERT_NE(policy, nullptr);
  }
  void TearDown() override {
    FreePolicy(policy);
    EXPECT_EQ(LiveBlockCount(), blocksBefore) << "blocks leaked";
  }
  uint32_t Load(const std::string& text, const char* logDirectory = nullptr) {
    WriteTextFile(ini, text);
    return LoadPolicy(policy, ini.c_str(), logDirectory);
  }
  // Replaces "@" with the temporary directory.
  std::string At(std::string text) const {
    for (size_t i = text.find('@'); i != std::string::npos; i = text.find('@', i + dir.path.size()))
      text.replace(i, 1, dir.path);
    return text;
  }
};

// An empty file, and a file without a Globals section (keys of other
// sections do not count), load with every default.
TEST_F(LoaderTest, DefaultsWhenNothingIsSet) {
  struct Case {
    const char* name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"empty file", ""},
      {"no Globals section", "[Other]\nUrlMaxLen=5\nVerbAllow=0\nSimulate=1\n"},
      {"comments only", "; nothing here\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    ASSERT_EQ(Load(c.text), 0u);
    const FilterPolicy* p = policy;
    EXPECT_EQ(p->IniFileSize, c.text.size());
    EXPECT_EQ(p->Verbs.flag, 1);
    EXPECT_EQ(p->HttpVersions.flag, 1);
    EXPECT_EQ(p->HostPorts.flag, 1);
    EXPECT_EQ(p->Extensions.flag, 1);
    EXPECT_EQ(p->DeniedHeaderNames.flag, 1);
    EXPECT_EQ(p->ValidMaxLenByHeader, 1);
    EXPECT_EQ(p->UrlSequences.flag, 1);
    EXPECT_EQ(p->QuerySequences.flag, 1);
    for (const StringList* list : {&p->Verbs, &p->HttpVersions, &p->Extensions, &p->HostPorts,
                                   &p->DeniedHeaderNames, &p->UrlSequences, &p->QuerySequences})
      EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(p->HeaderLimits.count, 0u);
    EXPECT_EQ(p->HasUrlMaxLen | p->HasQueryMaxLen | p->HasHeaderNameMaxLen |
                  p->HasHeaderValueMaxLen | p->HasPayloadMaxLen | p->HasContentLengthMaxLen,
              0);
    EXPECT_EQ(p->AllowDotInUrl, 0);
    EXPECT_EQ(p->AllowHighBitInUrl, 0);
    EXPECT_EQ(p->CanonUrlBeforeScan, 1);
    EXPECT_EQ(p->FailOnReCanonUrlChange, 1);
    EXPECT_EQ(p->AllowHighBitInQuery, 0);
    EXPECT_EQ(p->CanonQueryBeforeScan, 1);
    EXPECT_EQ(p->FailOnReCanonQueryChange, 1);
    EXPECT_EQ(p->CanonHeaderName, 0);
    EXPECT_EQ(p->FailOnReCanonHeaderNameChange, 0);
    EXPECT_EQ(p->CanonHeaderValue, 0);
    EXPECT_EQ(p->FailOnReCanonHeaderValueChange, 0);
    EXPECT_EQ(p->AllowHighBitInPayload, 0);
    EXPECT_EQ(p->RemoveBanner, 0);
    ASSERT_NE(p->Banner, nullptr);
    EXPECT_STREQ(p->Banner, "");
    EXPECT_EQ(p->BlockResponse, nullptr) << "built later from the server's own banner";
    EXPECT_EQ(p->HighPriority, 1);
    EXPECT_EQ(p->Simulate, 0);
    EXPECT_EQ(p->MaxHeadLength, kDefaultMaxHeadLength);
    EXPECT_EQ(std::string(p->LogDirectory), dir.path + "/LogFiles");
    ASSERT_NE(p->Log, nullptr);
    EXPECT_NE(p->Log->file, kInvalidFile);
    EXPECT_EQ(std::strlen(p->Log->date), 8u);
  }
}

// Each Globals key of the table, set alone to a value other than its
// default, reaches its own member and no other: the other integer members
// keep their defaults and the length limits stay absent.
TEST_F(LoaderTest, EachGlobalsKeySetsItsOwnMember) {
  for (const GlobalKey& key : kGlobalKeys) {
    SCOPED_TRACE(key.name);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    std::string value = key.kind == GlobalKind::kText       ? At("@/text")
                        : key.kind == GlobalKind::kLength   ? "77"
                        : key.deflt == 0                    ? "7"
                                                            : "0";
    ASSERT_EQ(Load(std::string("[Globals]\n") + key.name + "=" + value + "\n"), 0u);
    for (const GlobalKey& other : kGlobalKeys) {
      SCOPED_TRACE(other.name);
      bool same = &other == &key;
      if (other.kind == GlobalKind::kInteger) {
        EXPECT_EQ(*GlobalInteger(policy, other), same ? std::stoi(value) : other.deflt);
      } else if (other.kind == GlobalKind::kLength) {
        EXPECT_EQ(policy->*other.present, same ? 1 : 0);
        if (same) {
          EXPECT_EQ(policy->*other.limit, 77u);
        }
      }
    }
    EXPECT_EQ(std::string(policy->Banner), key.name == std::string("ChangeBanner") ? value : "");
    EXPECT_EQ(std::string(policy->LogDirectory),
              key.name == std::string("LogFilesDir") ? value : dir.path + "/LogFiles");
  }
}

TEST_F(LoaderTest, LengthKeys) {
  constexpr int64_t kAbsent = INT64_MIN;
  struct Case {
    const char* name;
    std::string globals;
    // Url, Query, HeaderName, HeaderValue, Payload, ContentLength
    std::array<int64_t, 6> limits;
  };
  const int64_t A = kAbsent;
  const std::vector<Case> cases = {
      {"all six",
       "UrlMaxLen=260\nQueryMaxLen=512\nHeaderNameMaxLen=64\nHeaderValueMaxLen=4096\n"
       "PayloadMaxLen=1000\nContentLengthMaxLen=30000\n",
       {260, 512, 64, 4096, 1000, 30000}},
      {"other letter case sets nothing", "urlmaxlen=100\nQUERYMAXLEN=5\n", {A, A, A, A, A, A}},
      {"found by its prefix only, value of the absent exact key", "UrlMaxLength=9\n",
       {0xFFFFFFFF, A, A, A, A, A}},
      {"prefix line first, value still read by exact key", "UrlMaxLength=9\nUrlMaxLen=5\n",
       {5, A, A, A, A, A}},
      {"zero is a limit", "UrlMaxLen=0\n", {0, A, A, A, A, A}},
      {"key not at the start of the line", "XUrlMaxLen=5\nMyQueryMaxLen=1\n",
       {A, A, A, A, A, A}},
      {"blanks around name and value", "  UrlMaxLen  =  77  \n", {77, A, A, A, A, A}},
      {"value that is no number", "PayloadMaxLen=abc\n", {A, A, A, A, 0, A}},
      {"negative value", "HeaderValueMaxLen=-1\n", {A, A, A, 0xFFFFFFFF, A, A}},
      {"between other keys", "Simulate=0\nContentLengthMaxLen=7\nVerbAllow=1\n",
       {A, A, A, A, A, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    ASSERT_EQ(Load("[Globals]\n" + c.globals), 0u);
    const FilterPolicy* p = policy;
    std::array<std::pair<int32_t, uint32_t>, 6> got = {{
        {p->HasUrlMaxLen, p->UrlMaxLen},
        {p->HasQueryMaxLen, p->QueryMaxLen},
        {p->HasHeaderNameMaxLen, p->HeaderNameMaxLen},
        {p->HasHeaderValueMaxLen, p->HeaderValueMaxLen},
        {p->HasPayloadMaxLen, p->PayloadMaxLen},
        {p->HasContentLengthMaxLen, p->ContentLengthMaxLen},
    }};
    for (size_t i = 0; i < 6; ++i) {
      if (c.limits[i] == kAbsent) {
        EXPECT_EQ(got[i].first, 0) << "key " << i;
      } else {
        EXPECT_EQ(got[i].first, 1) << "key " << i;
        EXPECT_EQ(got[i].second, static_cast<uint32_t>(c.limits[i])) << "key " << i;
      }
    }
  }
}

TEST_F(LoaderTest, ListsFollowTheirSwitches) {
  const std::string sections =
      "[VerbAllow]\nGET\nHEAD\n"
      "[VerbDeny]\nTRACE\nDELETE\n"
      "[ValidHttpVersion]\nHTTP/1.0\nHTTP/1.1\n"
      "[ValidHostPort]\nwww.example.com:80\n"
      "[ExtensionAllow]\n.htm\n"
      "[ExtensionDeny]\n.exe\n.ini\n"
      "[DenyHeaderName]\nTranslate:\n"
      "[ValidMaxLenByHeader]\nCookie=900\nReferer=512\n"
      "[DenyUrlSequence]\n..\n./\n"
      "[DenyQuerySequence]\n<\n";
  using V = std::vector<std::string>;
  struct Case {
    const char* name;
    std::string globals;
    V verbs, versions, hostPorts, extensions, headerNames, urlSequences, querySequences;
    uint32_t limits;
  };
  const std::vector<Case> cases = {
      {"defaults: allow lists and every optional list",
       "",
       {"GET", "HEAD"},
       {" HTTP/1.0\r\n", " HTTP/1.1\r\n"},
       {"www.example.com:80"},
       {".htm"},
       {"Translate:"},
       {"..", "./"},
       {"<"},
       2},
      {"deny lists read only the deny sections",
       "VerbAllow=0\nExtensionAllow=0\n",
       {"TRACE", "DELETE"},
       {" HTTP/1.0\r\n", " HTTP/1.1\r\n"},
       {"www.example.com:80"},
       {".exe", ".ini"},
       {"Translate:"},
       {"..", "./"},
       {"<"},
       2},
      {"optional lists switched off stay empty",
       "ValidHttpVersion=0\nValidHostPort=0\nDenyHeaderName=0\nValidMaxLenByHeader=0\n"
       "DenyUrlSequence=0\nDenyQuerySequence=0\n",
       {"GET", "HEAD"},
       {},
       {},
       {".htm"},
       {},
       {},
       {},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    ASSERT_EQ(Load("[Globals]\n" + c.globals + sections), 0u);
    EXPECT_EQ(Entries(policy->Verbs), c.verbs);
    EXPECT_EQ(Entries(policy->HttpVersions), c.versions);
    EXPECT_EQ(Entries(policy->HostPorts), c.hostPorts);
    EXPECT_EQ(Entries(policy->Extensions), c.extensions);
    EXPECT_EQ(Entries(policy->DeniedHeaderNames), c.headerNames);
    EXPECT_EQ(Entries(policy->UrlSequences), c.urlSequences);
    EXPECT_EQ(Entries(policy->QuerySequences), c.querySequences);
    ASSERT_EQ(policy->HeaderLimits.count, c.limits);
    if (c.limits == 2) {
      EXPECT_STREQ(policy->HeaderLimits.names[1], "Referer");
      EXPECT_EQ(policy->HeaderLimits.limits[1], 512);
    }
  }
}

TEST_F(LoaderTest, SwitchesTurnedTheOtherWay) {
  ASSERT_EQ(Load("[Globals]\n"
                 "AllowDotInUrl=1\nAllowHighBitInUrl=1\nCanonUrlBeforeScan=0\n"
                 "FailOnReCanonUrlChange=0\nAllowHighBitInQuery=1\nCanonQueryBeforeScan=0\n"
                 "FailOnReCanonQueryChange=0\nCanonHeaderName=1\n"
                 "FailOnReCanonHeaderNameChange=1\nCanonHeaderValue=1\n"
                 "FailOnReCanonHeaderValueChange=1\nAllowHighBitInPayload=1\n"
                 "HighPriority=0\nSimulate=1\n"),
            0u);
  const FilterPolicy* p = policy;
  EXPECT_EQ(p->AllowDotInUrl, 1);
  EXPECT_EQ(p->AllowHighBitInUrl, 1);
  EXPECT_EQ(p->CanonUrlBeforeScan, 0);
  EXPECT_EQ(p->FailOnReCanonUrlChange, 0);
  EXPECT_EQ(p->AllowHighBitInQuery, 1);
  EXPECT_EQ(p->CanonQueryBeforeScan, 0);
  EXPECT_EQ(p->FailOnReCanonQueryChange, 0);
  EXPECT_EQ(p->CanonHeaderName, 1);
  EXPECT_EQ(p->FailOnReCanonHeaderNameChange, 1);
  EXPECT_EQ(p->CanonHeaderValue, 1);
  EXPECT_EQ(p->FailOnReCanonHeaderValueChange, 1);
  EXPECT_EQ(p->AllowHighBitInPayload, 1);
  EXPECT_EQ(p->HighPriority, 0);
  EXPECT_EQ(p->Simulate, 1);
}

TEST_F(LoaderTest, BannerAndBlockResponse) {
  std::string longBanner(300, 'b');
  struct Case {
    const char* name;
    std::string globals;
    std::string banner;
    uint32_t blockLength;  // 0: not built at load
    std::string serverLine;
  };
  const std::vector<Case> cases = {
      {"neither", "", "", 0, ""},
      {"changed", "ChangeBanner=Web Server\n", "Web Server", 180, "Server: Web Server\r\n"},
      {"removed, ChangeBanner ignored", "RemoveBanner=1\nChangeBanner=Web Server\n", "", 160, ""},
      {"long text cut to 254", "ChangeBanner=" + longBanner + "\n", std::string(254, 'b'),
       170 + 254, "Server: " + std::string(254, 'b') + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    ASSERT_EQ(Load("[Globals]\n" + c.globals), 0u);
    EXPECT_EQ(std::string(policy->Banner), c.banner);
    if (c.blockLength == 0) {
      EXPECT_EQ(policy->BlockResponse, nullptr);
      continue;
    }
    ASSERT_NE(policy->BlockResponse, nullptr);
    EXPECT_EQ(policy->BlockResponseLength, c.blockLength);
    std::string response(policy->BlockResponse, policy->BlockResponseLength);
    EXPECT_EQ(response.find("Server:") != std::string::npos, !c.serverLine.empty());
    if (!c.serverLine.empty()) {
      EXPECT_NE(response.find(c.serverLine), std::string::npos);
    }
  }
}

// The kit writes policies built in code out as INI text (the engine fuzz
// target screens with such policies); loading the text gives back the same
// rules, whichever way each switch is turned.
TEST_F(LoaderTest, PolicyWrittenAsIniLoadsBackTheSame) {
  auto everyDefault = [](FilterPolicy*) {};
  auto everythingTurned = [](FilterPolicy* p) {
    for (StringList* list : {&p->Verbs, &p->HttpVersions, &p->HostPorts, &p->Extensions,
                             &p->DeniedHeaderNames, &p->UrlSequences, &p->QuerySequences})
      list->flag = 0;
    p->ValidMaxLenByHeader = 0;
    for (int32_t* flag :
         {&p->AllowDotInUrl, &p->AllowHighBitInUrl, &p->AllowHighBitInQuery, &p->CanonHeaderName,
          &p->FailOnReCanonHeaderNameChange, &p->CanonHeaderValue,
          &p->FailOnReCanonHeaderValueChange, &p->AllowHighBitInPayload, &p->Simulate})
      *flag = 1;
    for (int32_t* flag : {&p->CanonUrlBeforeScan, &p->FailOnReCanonUrlChange,
                          &p->CanonQueryBeforeScan, &p->FailOnReCanonQueryChange,
                          &p->HighPriority})
      *flag = 0;
    p->RemoveBanner = 1;
    p->HasUrlMaxLen = 1;
    p->UrlMaxLen = 0;
    p->HasPayloadMaxLen = 1;
    p->PayloadMaxLen = 0xFFFFFFFFu;
    test::SetList(&p->Verbs, {"TRACE", "track"});
    test::SetList(&p->Extensions, {".exe", ".E\xff"});
  };
  auto listsFilled = [](FilterPolicy* p) {
    p->HasQueryMaxLen = 1;
    p->QueryMaxLen = 17;
    p->HasContentLengthMaxLen = 1;
    p->ContentLengthMaxLen = 1048576;
    test::SetList(&p->Verbs, {"GET", "HEAD"});
    test::SetVersions(&p->HttpVersions, {"HTTP/1.1", "http/1.0"});
    test::SetList(&p->HostPorts, {"www.example.com", "www:80", "h\xe9st"});
    test::SetList(&p->Extensions, {".htm", "."});
    test::SetList(&p->DeniedHeaderNames, {"Translate", "X Foo"});
    test::SetLimits(&p->HeaderLimits, {{"Cookie", 900}, {"X-Zero", 0}, {"Host", -1}});
    test::SetList(&p->UrlSequences, {"..", "\\", "%"});
    test::SetList(&p->QuerySequences, {"<script", "'"});
    test::SetText(p->Banner, "Web Server %s");
  };
  const std::vector<std::pair<const char*, void (*)(FilterPolicy*)>> cases = {
      {"every default", everyDefault},
      {"everything turned", everythingTurned},
      {"lists filled", listsFilled},
  };
  for (const auto& [name, setup] : cases) {
    SCOPED_TRACE(name);
    FilterPolicy* built = test::NewDefaultPolicy();
    setup(built);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    ASSERT_EQ(Load(test::PolicyIni(built)), 0u);
    const FilterPolicy* p = policy;
    for (auto list : {&FilterPolicy::Verbs, &FilterPolicy::HttpVersions, &FilterPolicy::HostPorts,
                      &FilterPolicy::Extensions, &FilterPolicy::DeniedHeaderNames,
                      &FilterPolicy::UrlSequences, &FilterPolicy::QuerySequences}) {
      EXPECT_EQ((p->*list).flag, (built->*list).flag);
      // A list switched off is not read at all (verbs and extensions always are).
      if ((built->*list).flag || list == &FilterPolicy::Verbs ||
          list == &FilterPolicy::Extensions) {
        EXPECT_EQ(Entries(p->*list), Entries(built->*list));
      }
    }
    EXPECT_EQ(p->ValidMaxLenByHeader, built->ValidMaxLenByHeader);
    ASSERT_EQ(p->HeaderLimits.count, built->ValidMaxLenByHeader ? built->HeaderLimits.count : 0);
    for (uint32_t i = 0; i < p->HeaderLimits.count; ++i) {
      EXPECT_STREQ(p->HeaderLimits.names[i], built->HeaderLimits.names[i]);
      EXPECT_EQ(p->HeaderLimits.limits[i], built->HeaderLimits.limits[i]);
    }
    for (auto flag :
         {&FilterPolicy::AllowDotInUrl, &FilterPolicy::AllowHighBitInUrl,
          &FilterPolicy::CanonUrlBeforeScan, &FilterPolicy::FailOnReCanonUrlChange,
          &FilterPolicy::AllowHighBitInQuery, &FilterPolicy::CanonQueryBeforeScan,
          &FilterPolicy::FailOnReCanonQueryChange, &FilterPolicy::CanonHeaderName,
          &FilterPolicy::FailOnReCanonHeaderNameChange, &FilterPolicy::CanonHeaderValue,
          &FilterPolicy::FailOnReCanonHeaderValueChange, &FilterPolicy::AllowHighBitInPayload,
          &FilterPolicy::RemoveBanner, &FilterPolicy::HighPriority, &FilterPolicy::Simulate,
          &FilterPolicy::HasUrlMaxLen, &FilterPolicy::HasQueryMaxLen,
          &FilterPolicy::HasHeaderNameMaxLen, &FilterPolicy::HasHeaderValueMaxLen,
          &FilterPolicy::HasPayloadMaxLen, &FilterPolicy::HasContentLengthMaxLen})
      EXPECT_EQ(p->*flag, built->*flag);
    for (auto limit : {&FilterPolicy::UrlMaxLen, &FilterPolicy::QueryMaxLen,
                       &FilterPolicy::HeaderNameMaxLen, &FilterPolicy::HeaderValueMaxLen,
                       &FilterPolicy::PayloadMaxLen, &FilterPolicy::ContentLengthMaxLen})
      EXPECT_EQ(p->*limit, built->*limit);
    EXPECT_STREQ(p->Banner, built->Banner);
    FreePolicy(built);
  }
}

TEST_F(LoaderTest, LogDirectory) {
  std::string longDir = "@/" + std::string(100, 'd') + "/" + std::string(200, 'e');
  struct Case {
    const char* name;
    std::string iniName;
    std::string globals;
    const char* override;
    std::string directory;
  };
  const std::vector<Case> cases = {
      {"default beside the INI file", "Ravelgard.ini", "", nullptr, "@/LogFiles"},
      {"default whatever the INI file is called", "policy.conf", "", nullptr, "@/LogFiles"},
      {"as given", "Ravelgard.ini", "LogFilesDir=@/logs\n", nullptr, "@/logs"},
      {"one trailing separator removed", "Ravelgard.ini", "LogFilesDir=@/logs/\n", nullptr,
       "@/logs"},
      {"only one of two removed", "Ravelgard.ini", "LogFilesDir=@/logs//\n", nullptr, "@/logs/"},
      {"longer than 254 cut", "Ravelgard.ini", "LogFilesDir=" + longDir + "\n", nullptr,
       At(longDir).substr(0, 254)},
      {"the host's directory wins", "Ravelgard.ini", "LogFilesDir=@/logs\n", "@/host/", "@/host"},
      {"the host's directory over the default", "Ravelgard.ini", "", "@/host", "@/host"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreePolicy(policy);
    policy = NewUnloadedPolicy();
    ini = dir.File(c.iniName);
    std::string override = c.override ? At(c.override) : "";
    ASSERT_EQ(Load(At("[Globals]\n" + c.globals), c.override ? override.c_str() : nullptr), 0u);
    std::string expected = At(c.directory);
    EXPECT_EQ(std::string(policy->LogDirectory), expected);
    ASSERT_NE(policy->Log, nullptr);
    EXPECT_TRUE(Exists(expected + "/Ravelgard." + policy->Log->date + ".log"));
  }
}

TEST_F(LoaderTest, IniPathWithoutDirectoryLogsBesideIt) {
  std::string saved = std::filesystem::current_path().string();
  std::filesystem::current_path(dir.path);
  WriteTextFile(ini, "[Globals]\n");
  uint32_t result = LoadPolicy(policy, "Ravelgard.ini");
  std::filesystem::current_path(saved);
  ASSERT_EQ(result, 0u);
  EXPECT_STREQ(policy->LogDirectory, "LogFiles");
  ASSERT_NE(policy->Log, nullptr);
  EXPECT_TRUE(Exists(dir.path + "/LogFiles/Ravelgard." + policy->Log->date + ".log"));
}

// Paths that cannot fit the 256-byte blocks fail the load instead of
// overflowing them.
TEST_F(LoaderTest, PathsTooLongFailWith206) {
  // A real INI file in a directory so deep that its default log directory
  // would need more than 255 characters.
  // 248 characters of directory: the INI path fits in 255, "/LogFiles"
  // after it does not.
  std::string deep = dir.path;
  while (248 - deep.size() > 62) deep.append("/").append(60, 'p');
  size_t rest = 247 - deep.size();
  deep.append("/").append(rest, 'q');
  ASSERT_EQ(deep.size(), 248u);
  std::filesystem::create_directories(deep);
  std::string deepIni = deep + "/R.ini";
  ASSERT_LE(deepIni.size(), 255u);
  WriteTextFile(deepIni, "[Globals]\n");
  EXPECT_EQ(LoadPolicy(policy, deepIni.c_str()), kErrorFilenameTooLong);
  ExpectNothingKept(policy);

  std::string tooLongIni = dir.path + "/" + std::string(256, 'i');
  EXPECT_EQ(LoadPolicy(policy, tooLongIni.c_str()), kErrorFilenameTooLong);

  WriteTextFile(ini, "[Globals]\n");
  std::string tooLongOverride = dir.path + "/" + std::string(255, 'o');
  EXPECT_EQ(LoadPolicy(policy, ini.c_str(), tooLongOverride.c_str()), kErrorFilenameTooLong);
  ExpectNothingKept(policy);
  EXPECT_FALSE(Exists(dir.path + "/LogFiles"));
}

TEST_F(LoaderTest, MissingIniFileFailsWithoutCreatingALog) {
  EXPECT_EQ(LoadPolicy(policy, ini.c_str()), kErrorFileNotFound);
  ExpectNothingKept(policy);
  EXPECT_FALSE(Exists(dir.path + "/LogFiles"));
}

// The head cap is the host's: a value it set before the load stays, and
// nothing in the file touches it.
TEST_F(LoaderTest, HeadCapSetByTheHostIsKept) {
  policy->MaxHeadLength = 1234;
  ASSERT_EQ(Load("[Globals]\nMaxHeadLength=5\n"), 0u);
  EXPECT_EQ(policy->MaxHeadLength, 1234u);
}

// Bytes this process has read from files so far (its rchar).
uint64_t BytesRead() {
  std::string io = ReadTextFile("/proc/self/io");
  size_t at = io.find("rchar: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

// A policy whose lists are large, with its Globals section last (every read
// of a key then passes the lists). Each list section and the Globals section
// are read once, whatever the number of lines: the file is read a bounded
// number of times, never once per line or per key.
TEST_F(LoaderTest, LargeListsAreReadOnce) {
  std::string text = "[ValidMaxLenByHeader]\n";
  for (int i = 0; i < 5000; ++i)
    text += "X-Header-" + std::to_string(i % 4000) + "=" + std::to_string(i) + "\n";
  text += "[DenyUrlSequence]\n";
  for (int i = 0; i < 5000; ++i) text += "seq" + std::to_string(i) + "\n";
  text += "[VerbAllow]\nGET\n[Globals]\nSimulate=1\nUrlMaxLen=300\n";
  WriteTextFile(ini, text);
  uint64_t before = BytesRead();
  ASSERT_EQ(LoadPolicy(policy, ini.c_str()), 0u);
  uint64_t read = BytesRead() - before;
  EXPECT_LT(read, 16 * text.size()) << "the file was read " << read / text.size() << " times";
  ASSERT_EQ(policy->HeaderLimits.count, 5000u);
  EXPECT_EQ(policy->HeaderLimits.limits[4500], 500) << "a repeated header has its first limit";
  EXPECT_EQ(policy->UrlSequences.count, 5000u);
  EXPECT_EQ(policy->Simulate, 1);
  EXPECT_EQ(policy->UrlMaxLen, 300u);
}

// A million entries over every list kind, a quarter of them header limits:
// all are loaded, in file order, with the limits the reader gives.
TEST_F(LoaderTest, MillionEntryPolicy) {
  const int kPerList = 250000;
  std::string text = "[Globals]\nVerbAllow=0\nExtensionAllow=0\n[VerbDeny]\n";
  for (int i = 0; i < kPerList; ++i) text += "VERB" + std::to_string(i) + "\n";
  text += "[ExtensionDeny]\n";
  for (int i = 0; i < kPerList; ++i) text += ".x" + std::to_string(i) + "\n";
  text += "[DenyQuerySequence]\n";
  for (int i = 0; i < kPerList; ++i) text.append("q").append(std::to_string(i)).append("\n");
  text += "[ValidMaxLenByHeader]\n";
  for (int i = 0; i < kPerList; ++i)
    text.append("H").append(std::to_string(i % 1000)).append("=").append(std::to_string(i)).append("\n");
  WriteTextFile(ini, text);
  ASSERT_EQ(LoadPolicy(policy, ini.c_str()), 0u);
  EXPECT_EQ(policy->Verbs.count, uint32_t(kPerList));
  EXPECT_EQ(policy->Extensions.count, uint32_t(kPerList));
  EXPECT_EQ(policy->QuerySequences.count, uint32_t(kPerList));
  ASSERT_EQ(policy->HeaderLimits.count, uint32_t(kPerList));
  EXPECT_EQ(std::string(policy->Verbs.entries[kPerList - 1]),
            "VERB" + std::to_string(kPerList - 1));
  for (uint32_t i = 0; i < policy->HeaderLimits.count; i += 997)
    EXPECT_EQ(policy->HeaderLimits.limits[i], int32_t(i % 1000)) << "entry " << i;
}

// The INI file is read to its end several times: a FIFO in its place would
// hang the start (no writer ever comes), so anything but a regular file is
// refused at once. A path through a loop of symbolic links names no file.
TEST_F(LoaderTest, IniThatIsNoRegularFileFailsAtOnce) {
  ASSERT_EQ(0, mkfifo(ini.c_str(), 0600));
  std::string loop = dir.File("loop");
  ASSERT_EQ(0, symlink("loop", loop.c_str()));
  struct Case {
    std::string path;
    uint32_t error;
  };
  const std::vector<Case> cases = {
      {ini, kErrorCantAccessFile},
      {loop, kErrorCantResolveFilename},
      {loop + "/Ravelgard.ini", kErrorCantResolveFilename},
  };
  alarm(60);  // a blocking open would hang the test: end it instead
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(LoadPolicy(policy, c.path.c_str()), c.error);
    ExpectNothingKept(policy);
  }
  alarm(0);
  EXPECT_FALSE(Exists(dir.path + "/LogFiles"));
}

TEST_F(LoaderTest, IniFileHeldByAnotherProcessFailsWithSharingViolation) {
  WriteTextFile(ini, "[Globals]\n");
  std::string path = ini;
  ChildHolder holder([&path] {
    return FileOpen(path.c_str(), kAccessRead, kShareNone, kOpenExisting) != kInvalidFile;
  });
  ASSERT_TRUE(holder.Ready());
  EXPECT_EQ(LoadPolicy(policy, ini.c_str()), kErrorSharingViolation);
  ExpectNothingKept(policy);
  EXPECT_FALSE(Exists(dir.path + "/LogFiles"));
}

// Processes sharing one log load one policy side by side, often at the same
// moment: their probes of the INI file must not keep each other out, while
// a holder that grants no sharing still keeps every loader out, and the
// single-writer load still fails beside any holder.
TEST_F(LoaderTest, LoadersSharingTheLogReadTheIniFileSideBySide) {
  struct Case {
    const char* what;
    uint32_t holderShare;
    int32_t logShared;
    uint32_t error;
  };
  const Case cases[] = {
      {"another shared loader's probe, shared load", kShareRead, 1, 0},
      {"another shared loader's probe, single-writer load", kShareRead, 0,
       kErrorSharingViolation},
      {"a holder granting no sharing, shared load", kShareNone, 1, kErrorSharingViolation},
  };
  WriteTextFile(ini, "[Globals]\n");
  std::string path = ini;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t share = c.holderShare;
    ChildHolder holder([&path, share] {
      return FileOpen(path.c_str(), kAccessRead, share, kOpenExisting) != kInvalidFile;
    });
    ASSERT_TRUE(holder.Ready());
    FilterPolicy* p = NewUnloadedPolicy();
    ASSERT_NE(p, nullptr);
    p->LogShared = c.logShared;
    EXPECT_EQ(LoadPolicy(p, ini.c_str()), c.error);
    FreePolicy(p);
  }
}

TEST_F(LoaderTest, LogDirectoryThatCannotBeCreatedFailsTheLoad) {
  WriteTextFile(dir.File("blocker"), "a file, not a directory");
  int descriptors = OpenDescriptorCount();
  EXPECT_EQ(Load(At("[Globals]\nChangeBanner=X\nLogFilesDir=@/blocker/logs\n"
                    "[VerbAllow]\nGET\n[ValidHttpVersion]\nHTTP/1.1\n")),
            kErrorPathNotFound);
  ExpectNothingKept(policy);
  EXPECT_EQ(LiveBlockCount(), blocksBefore + 1) << "only the record itself is left";
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// A second process with the same log directory cannot open the day's log
// file for writing while the first holds it, so its load fails.
TEST_F(LoaderTest, SecondProcessOnTheSameLogDirectoryFails) {
  WriteTextFile(ini, "[Globals]\n");
  std::string path = ini;
  ChildHolder holder([&path] {
    FilterPolicy* p = NewUnloadedPolicy();
    return p != nullptr && LoadPolicy(p, path.c_str()) == 0;
  });
  ASSERT_TRUE(holder.Ready());
  EXPECT_EQ(LoadPolicy(policy, ini.c_str()), kErrorSharingViolation);
  ExpectNothingKept(policy);
}

// Every allocation the load makes is failed in turn, with the platform
// reporting 8 and with it reporting nothing: each load fails with 8 and
// leaves no block allocated and no file open. The one exception is the last
// thing a load allocates, the text of the log's header and summary: without
// it the day's file gets the header alone and the filter still starts.
TEST_F(LoaderTest, EveryAllocationFailureFailsTheLoadCleanly) {
  const std::string lists =
      "[VerbAllow]\nGET\nHEAD\n[ValidHttpVersion]\nHTTP/1.0\nHTTP/1.1\n"
      "[ValidHostPort]\nwww:80\n[ExtensionAllow]\n.htm\n.asp\n[DenyHeaderName]\nTranslate\n"
      "[ValidMaxLenByHeader]\nCookie=900\nnoequals\nReferer=512\n"
      "[DenyUrlSequence]\n..\n[DenyQuerySequence]\n<\n";
  const std::vector<std::string> inis = {
      "[Globals]\nUrlMaxLen=10\nChangeBanner=Web Server\n" + lists,
      "[Globals]\nRemoveBanner=1\nVerbAllow=0\nExtensionAllow=0\n[VerbDeny]\nTRACE\n"
      "[ExtensionDeny]\n.exe\n" + lists,
  };
  for (const std::string& text : inis) {
    WriteTextFile(ini, text);
    uint64_t before = AllocationCount();
    FilterPolicy* probe = NewUnloadedPolicy();
    ASSERT_EQ(LoadPolicy(probe, ini.c_str()), 0u);
    FreePolicy(probe);
    uint64_t allocations = AllocationCount() - before - 1;
    ASSERT_GT(allocations, 20u);

    int descriptors = OpenDescriptorCount();
    for (uint32_t reported : {kErrorNotEnoughMemory, 0u}) {
      uint64_t headerOnly = 0;
      for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " reported " +
                     std::to_string(reported));
        FilterPolicy* p = NewUnloadedPolicy();
        ASSERT_NE(p, nullptr);
        int64_t live = LiveBlockCount();
        FailAllocationAfter(static_cast<int64_t>(n), reported);
        uint32_t result = LoadPolicy(p, ini.c_str());
        FailAllocationAfter(0);
        if (result == 0) {
          ++headerOnly;
          ASSERT_NE(p->Log, nullptr);
          std::string log = ReadTextFile(p->Log->path);
          size_t header = log.rfind("#Software: Olvaxi Ravelgard\r\n");
          ASSERT_NE(header, std::string::npos);
          EXPECT_EQ(log.find("Configuration (begin)", header), std::string::npos)
              << "the summary was written after all";
          FreePolicy(p);
          EXPECT_EQ(LiveBlockCount(), live - 1);  // the record itself is gone too
          EXPECT_EQ(OpenDescriptorCount(), descriptors);
          continue;
        }
        EXPECT_EQ(headerOnly, 0u) << "a load failed after the log's header was written";
        EXPECT_EQ(result, kErrorNotEnoughMemory);
        ExpectNothingKept(p);
        EXPECT_EQ(LiveBlockCount(), live);
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        FreePolicy(p);
      }
      EXPECT_GE(headerOnly, 1u);
      EXPECT_LE(headerOnly, 2u);  // the block, and its growth for a long summary
    }
  }
}

}  // namespace
}  // namespace rg
