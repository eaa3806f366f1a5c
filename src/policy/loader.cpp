// Loading the policy from the INI file, once, at start-up.
#include <cstring>

#include "filter/filter.h"
#include "log/log.h"
#include "policy/globals.h"
#include "policy/policy.h"

namespace rg {

namespace {

constexpr const char kGlobals[] = "Globals";
constexpr uint32_t kTextBlockSize = 256;
// Text values are read into 256-byte blocks with a limit of 255, so at most
// 254 characters and the NUL.
constexpr uint32_t kTextReadSize = 255;
constexpr uint32_t kMaxIniPathLength = 255;

// The lines of the Globals section, read once: every key's value is taken
// from them with the profile reader's own rules, rather than by reading the
// file again for each key.
struct GlobalsSection {
  const char* lines;
  uint32_t size;
};

// The integer value of the key of that exact name (any letter case), or
// deflt when no line sets it.
int32_t IntegerOf(const GlobalsSection& globals, const char* name, int32_t deflt) {
  const char* value = nullptr;
  uint32_t length = 0;
  if (!ProfileFindValue(globals.lines, globals.size, name, &value, &length)) return deflt;
  return static_cast<int32_t>(ProfileParseInt(value, length, deflt));
}

// Reads an integer key of the table with its default into its member.
int32_t ReadInteger(FilterPolicy* policy, const GlobalsSection& globals, GlobalIndex index) {
  const GlobalKey& key = kGlobalKeys[index];
  int32_t* value = GlobalInteger(policy, key);
  *value = IntegerOf(globals, key.name, key.deflt);
  return *value;
}

// Reads a text key's value into a zero-filled 256-byte block as the string
// reader would (cut to 254 characters); an absent key leaves it empty.
void ReadText(const GlobalsSection& globals, GlobalIndex index, char* block) {
  const char* value = nullptr;
  uint32_t length = 0;
  if (ProfileFindValue(globals.lines, globals.size, kGlobalKeys[index].name, &value, &length))
    ProfileCopyString(value, length, block, kTextReadSize);
}

// A length limit is present when some Globals line begins with its key
// name, byte for byte and with the key's own letter case; its value is then
// read through the exact key name. So "UrlMaxLength=9" alone makes the URL
// limit present with the value of an absent "UrlMaxLen" key: -1, which as an
// unsigned limit never refuses anything. Each line sets at most one key and
// each key is set by its first line only.
void FindLengthKeys(FilterPolicy* policy, const GlobalsSection& globals) {
  const char* end = globals.lines + globals.size;
  const char* line = globals.lines;
  while (line < end && *line != '\0') {
    size_t lineLength = strnlen(line, static_cast<size_t>(end - line));
    for (const GlobalKey& key : kGlobalKeys) {
      if (key.kind != GlobalKind::kLength || policy->*key.present) continue;
      size_t keyLength = std::strlen(key.name);
      if (lineLength < keyLength || std::memcmp(line, key.name, keyLength) != 0) continue;
      policy->*key.present = 1;
      policy->*key.limit = static_cast<uint32_t>(IntegerOf(globals, key.name, key.deflt));
      break;
    }
    line += lineLength + 1;
  }
}

// Version entries are held as " " + version + CR LF, the exact bytes that
// stand in a request line from the space before the version to its end, so
// the scanner can compare them in one piece.
uint32_t RewriteVersions(StringList* list) {
  for (uint32_t i = 0; i < list->count; ++i) {
    uint32_t length = list->lengths[i];
    char* held = static_cast<char*>(HeapAllocZero(static_cast<size_t>(length) + 4));
    if (held == nullptr) return AllocationError();
    held[0] = ' ';
    std::memcpy(held + 1, list->entries[i], length);
    held[length + 1] = '\r';
    held[length + 2] = '\n';
    HeapFreeBlock(list->entries[i]);
    list->entries[i] = held;
    list->lengths[i] = length + 3;
  }
  return 0;
}

void DropTrailingSeparator(char* directory) {
  size_t length = std::strlen(directory);
  if (length > 0 && directory[length - 1] == kPathSeparator) directory[length - 1] = '\0';
}

// Fills the 256-byte LogDirectory block: the host's override, else
// LogFilesDir, else the INI file's directory followed by "LogFiles".
uint32_t ChooseLogDirectory(char* block, const char* iniPath, const GlobalsSection& globals,
                            const char* logDirectory) {
  if (logDirectory != nullptr) {
    size_t length = std::strlen(logDirectory);
    if (length >= kTextReadSize) return kErrorFilenameTooLong;
    std::memcpy(block, logDirectory, length + 1);
    DropTrailingSeparator(block);
    return 0;
  }
  ReadText(globals, kGlobalLogFilesDir, block);
  if (block[0] != '\0') {
    DropTrailingSeparator(block);
    return 0;
  }
  const char* lastSeparator = std::strrchr(iniPath, kPathSeparator);
  size_t directoryLength = 0;
  if (lastSeparator != nullptr) directoryLength = static_cast<size_t>(lastSeparator - iniPath) + 1;
  static const char kDefaultName[] = "LogFiles";
  if (directoryLength + sizeof kDefaultName > kTextBlockSize) return kErrorFilenameTooLong;
  std::memcpy(block, iniPath, directoryLength);
  std::memcpy(block + directoryLength, kDefaultName, sizeof kDefaultName);
  return 0;
}

// A list switched by the Globals key of its own name (default on) and, when
// on, filled from the section of that name.
uint32_t LoadSwitchedList(FilterPolicy* p, const char* iniPath, const GlobalsSection& globals,
                          GlobalIndex index) {
  const GlobalKey& key = kGlobalKeys[index];
  StringList* list = &(p->*key.list);
  return ReadInteger(p, globals, index) ? LoadStringList(key.name, iniPath, list, p->IniFileSize)
                                        : 0;
}

// The steps after the Globals section has been read; any nonzero result
// sends LoadPolicy down its single failure path.
uint32_t LoadFromSection(FilterPolicy* p, const char* iniPath, const GlobalsSection& globals,
                         const char* logDirectory) {
  const uint32_t size = p->IniFileSize;
  FindLengthKeys(p, globals);

  uint32_t error = 0;
  // Verbs and extensions are always loaded: their key picks the allow or
  // the deny section.
  ReadInteger(p, globals, kGlobalVerbAllow);
  error = LoadStringList(p->Verbs.flag ? "VerbAllow" : "VerbDeny", iniPath, &p->Verbs, size);
  if (error != 0) return error;

  if (ReadInteger(p, globals, kGlobalValidHttpVersion)) {
    error = LoadStringList("ValidHttpVersion", iniPath, &p->HttpVersions, size);
    if (error != 0) return error;
    error = RewriteVersions(&p->HttpVersions);
    if (error != 0) return error;
  }

  error = LoadSwitchedList(p, iniPath, globals, kGlobalValidHostPort);
  if (error != 0) return error;

  ReadInteger(p, globals, kGlobalExtensionAllow);
  error = LoadStringList(p->Extensions.flag ? "ExtensionAllow" : "ExtensionDeny", iniPath,
                         &p->Extensions, size);
  if (error != 0) return error;

  error = LoadSwitchedList(p, iniPath, globals, kGlobalDenyHeaderName);
  if (error != 0) return error;

  if (ReadInteger(p, globals, kGlobalValidMaxLenByHeader)) {
    error = LoadHeaderLimitList("ValidMaxLenByHeader", iniPath, &p->HeaderLimits, size);
    if (error != 0) return error;
  }

  error = LoadSwitchedList(p, iniPath, globals, kGlobalDenyUrlSequence);
  if (error != 0) return error;
  error = LoadSwitchedList(p, iniPath, globals, kGlobalDenyQuerySequence);
  if (error != 0) return error;
  // The lists are final: their lookups can be indexed.
  error = IndexPolicyLists(p);
  if (error != 0) return error;

  for (uint32_t i = kGlobalAllowDotInUrl; i <= kGlobalRemoveBanner; ++i)
    ReadInteger(p, globals, static_cast<GlobalIndex>(i));

  p->Banner = static_cast<char*>(HeapAllocZero(kTextBlockSize));
  if (p->Banner == nullptr) return AllocationError();
  if (p->RemoveBanner) {
    // The banner is removed: the 400 page carries no Server line either,
    // and a ChangeBanner text is not even read.
    error = BuildBlockResponse(p, nullptr);
  } else {
    ReadText(globals, kGlobalChangeBanner, p->Banner);
    // Without a fixed banner the 400 page shows the server's own name,
    // which only the first connection can ask for.
    if (p->Banner[0] != '\0') error = BuildBlockResponse(p, p->Banner);
  }
  if (error != 0) return error;

  ReadInteger(p, globals, kGlobalHighPriority);
  ReadInteger(p, globals, kGlobalSimulate);

  p->LogDirectory = static_cast<char*>(HeapAllocZero(kTextBlockSize));
  if (p->LogDirectory == nullptr) return AllocationError();
  error = ChooseLogDirectory(p->LogDirectory, iniPath, globals, logDirectory);
  if (error != 0) return error;

  return OpenLogFile(p);
}

}  // namespace

uint32_t LoadPolicy(FilterPolicy* policy, const char* iniPath, const char* logDirectory) {
  if (policy == nullptr || iniPath == nullptr) return kErrorInvalidParameter;
  if (std::strlen(iniPath) > kMaxIniPathLength) return kErrorFilenameTooLong;

  // The probe grants no sharing: a file that another process holds open
  // (an editor saving it, say) fails the load rather than being read half
  // written. Processes that share one log are meant to run side by side on
  // one policy and load it at the same moment (the children of one server):
  // their probes grant each other reading, or one of them would fail at
  // random; a writer still keeps them all out.
  uint32_t share = policy->LogShared != 0 ? kShareRead : kShareNone;
  FileHandle probe = FileOpen(iniPath, kAccessRead, share, kOpenExisting);
  if (probe == kInvalidFile) {
    uint32_t error = GetLastErrorValue();
    return error != 0 ? error : kErrorFileNotFound;
  }
  SetLastErrorValue(0);
  uint32_t size = FileGetSize(probe);
  uint32_t sizeError = size == 0xFFFFFFFFu ? GetLastErrorValue() : 0;
  FileClose(probe);
  if (sizeError != 0) return sizeError;
  policy->IniFileSize = size;
  // The head cap is the host's to choose; one it set before the load stays.
  if (policy->MaxHeadLength == 0) policy->MaxHeadLength = kDefaultMaxHeadLength;

  // Every section, this one and each list's, is read into a buffer as large
  // as the whole file, which any section fits.
  char* section = static_cast<char*>(HeapAllocZero(size));
  if (section == nullptr) return AllocationError();
  ProfileGetSection(kGlobals, section, size, iniPath);

  uint32_t error = LoadFromSection(policy, iniPath, GlobalsSection{section, size}, logDirectory);
  // A failed load keeps no list, buffer or file; the scalar members keep
  // what was read, which nobody uses after a failed load.
  if (error != 0) ReleasePolicyContents(policy);
  HeapFreeBlock(section);
  return error;
}

}  // namespace rg
