// mod_ravelgard: the screening filter inside Apache httpd.
//
// A connection-level input filter, above mod_ssl's so that it sees the
// decrypted bytes, hands every byte Apache's HTTP/1 parser asks for to the
// engine before the parser sees it. A refused request gets the policy's
// block page, written straight to the connection below the HTTP filters,
// and the connection closes; whatever Apache would still answer is dropped.
// A connection-level output filter rewrites the Server: header in every
// response head, after Apache has written it, and tells the engine when a
// request has been answered.
//
// Policies are loaded in the parent at every configuration pass
// (check_config runs for `apachectl configtest` too, post_config does not),
// held by the configuration pool and released with it, so a graceful
// restart loads them afresh. Children inherit them and share the day's log.
//
// Apache is C; nothing here throws, and every failure is a status code.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "response_head.h"

// httpd.h first: the others build on its types.
#include "httpd.h"
#include "ap_config.h"
#include "apr_buckets.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_connection.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "unixd.h"
#include "util_filter.h"

// The one symbol the module exports: the record Apache's LoadModule looks for.
extern "C" {
extern __attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA ravelgard_module;
}
APLOG_USE_MODULE(ravelgard);

namespace {

using rg::EnginePolicy;
using rg::Screening;
using rg::Verdict;
using rg::VerdictKind;

// ------------------------------------------------------------------ config

struct ServerConfig {
  const char* policyPath;  // null or "" (RavelgardPolicy none): not screened
  const char* logDir;      // null: the policy's own log directory
  EnginePolicy* policy;    // set at each configuration pass
};

// One loaded policy of the current configuration generation. Servers that
// name the same file and log directory share it.
struct LoadedPolicy {
  const char* path;
  const char* logDir;
  EnginePolicy* policy;
  LoadedPolicy* next;
};

// This generation's policies; reset by pre_config, filled by check_config.
// The module is loaded afresh for every generation, so nothing else of it
// survives a restart either.
LoadedPolicy* g_loaded = nullptr;

// ERROR_GEN_FAILURE: bytes Apache handed up that could not be read.
constexpr uint32_t kErrorReadFailed = 31;

ap_filter_rec_t* g_inputFilter = nullptr;
ap_filter_rec_t* g_outputFilter = nullptr;

ServerConfig* ConfigOf(server_rec* s) {
  return static_cast<ServerConfig*>(ap_get_module_config(s->module_config, &ravelgard_module));
}

void* CreateServerConfig(apr_pool_t* p, server_rec*) {
  return apr_pcalloc(p, sizeof(ServerConfig));
}

// A virtual host screens with the main server's policy unless it names its
// own; the same for the log directory.
void* MergeServerConfig(apr_pool_t* p, void* baseConf, void* addConf) {
  const auto* base = static_cast<const ServerConfig*>(baseConf);
  const auto* add = static_cast<const ServerConfig*>(addConf);
  auto* merged = static_cast<ServerConfig*>(apr_pcalloc(p, sizeof(ServerConfig)));
  merged->policyPath = add->policyPath ? add->policyPath : base->policyPath;
  merged->logDir = add->logDir ? add->logDir : base->logDir;
  return merged;
}

// "RavelgardPolicy none": a virtual host that is not screened although the
// main server is. Kept as an empty path so that it overrides in the merge.
const char* SetPolicyPath(cmd_parms* cmd, void*, const char* arg) {
  ServerConfig* conf = ConfigOf(cmd->server);
  if (ap_cstr_casecmp(arg, "none") == 0) {
    conf->policyPath = "";
    return nullptr;
  }
  conf->policyPath = ap_server_root_relative(cmd->pool, arg);
  if (conf->policyPath == nullptr) {
    return apr_pstrcat(cmd->pool, "RavelgardPolicy: invalid path ", arg, nullptr);
  }
  return nullptr;
}

const char* SetLogDir(cmd_parms* cmd, void*, const char* arg) {
  ServerConfig* conf = ConfigOf(cmd->server);
  conf->logDir = ap_server_root_relative(cmd->pool, arg);
  if (conf->logDir == nullptr) {
    return apr_pstrcat(cmd->pool, "RavelgardLogDir: invalid path ", arg, nullptr);
  }
  return nullptr;
}

// Without designated initializers (C++) Apache's command table takes its
// handlers as functions of unspecified arguments; the directive kind (TAKE1)
// tells it how to call them. The detour through void(*)() is the cast the
// compiler accepts between function types.
template <typename F>
cmd_func Handler(F* function) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(function));
}

const command_rec kCommands[] = {
    {"RavelgardPolicy", Handler(SetPolicyPath), nullptr, RSRC_CONF, TAKE1,
     "the policy file (Ravelgard.ini) that screens this server's connections, or none"},
    {"RavelgardLogDir", Handler(SetLogDir), nullptr, RSRC_CONF, TAKE1,
     "the directory of the daily rejection log (default: the policy's own)"},
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},
};

bool SameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

apr_status_t ReleasePolicy(void* data) {
  rg::ReleaseEnginePolicy(static_cast<EnginePolicy*>(data));
  return APR_SUCCESS;
}

int PreConfig(apr_pool_t*, apr_pool_t*, apr_pool_t*) {
  g_loaded = nullptr;
  return OK;
}

// Loads every policy the configuration names. It runs in the parent at every
// configuration pass, `apachectl configtest` included, so a policy that cannot
// load stops the check and the start with the file and the error.
int CheckConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* main) {
  g_loaded = nullptr;
  for (server_rec* s = main; s != nullptr; s = s->next) {
    ServerConfig* conf = ConfigOf(s);
    conf->policy = nullptr;
    if (conf->policyPath == nullptr || conf->policyPath[0] == '\0') continue;
    LoadedPolicy* loaded = g_loaded;
    while (loaded && !(SameText(loaded->path, conf->policyPath) &&
                       SameText(loaded->logDir, conf->logDir))) {
      loaded = loaded->next;
    }
    if (loaded == nullptr) {
      rg::EngineOptions options;
      options.logDirectory = conf->logDir;
      // Every child process appends to the same day's file.
      options.logMode = rg::LogMode::kShared;
      EnginePolicy* policy = nullptr;
      const uint32_t error = rg::LoadEnginePolicy(conf->policyPath, &options, &policy);
      if (error != 0) {
        ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_CRIT, 0, s,
                     "RavelgardPolicy %s%s%s: the policy cannot be loaded: error %u (%s)",
                     conf->policyPath, conf->logDir ? " with RavelgardLogDir " : "",
                     conf->logDir ? conf->logDir : "", error, rg::ErrorMeaning(error));
        return HTTP_INTERNAL_SERVER_ERROR;
      }
      apr_pool_cleanup_register(pconf, policy, ReleasePolicy, apr_pool_cleanup_null);
      loaded = static_cast<LoadedPolicy*>(apr_pcalloc(pconf, sizeof(LoadedPolicy)));
      loaded->path = conf->policyPath;
      loaded->logDir = conf->logDir;
      loaded->policy = policy;
      loaded->next = g_loaded;
      g_loaded = loaded;
    }
    conf->policy = loaded->policy;
  }
  return OK;
}

bool IsHttp2(const char* protocol) {
  return std::strcmp(protocol, "h2") == 0 || std::strcmp(protocol, "h2c") == 0;
}

// HTTP/2 carries no HTTP/1 bytes for the engine to screen, so a screened
// server does not offer it: h2 and h2c leave its Protocols list, with a
// warning that says so. (A connection that still ends up speaking another
// protocol, e.g. through the SNI name of another host on the same address,
// is refused by the input filter.)
void RefuseHttp2(apr_pool_t* pconf, server_rec* s) {
  auto* core = static_cast<core_server_config*>(ap_get_core_module_config(s->module_config));
  apr_array_header_t* protocols = core->protocols;
  if (protocols == nullptr) return;
  bool offersHttp2 = false;
  for (int i = 0; i < protocols->nelts; ++i) {
    offersHttp2 = offersHttp2 || IsHttp2(APR_ARRAY_IDX(protocols, i, const char*));
  }
  if (!offersHttp2) return;
  // A new list: a virtual host may share its array with the main server.
  apr_array_header_t* kept = apr_array_make(pconf, protocols->nelts, sizeof(const char*));
  for (int i = 0; i < protocols->nelts; ++i) {
    const char* protocol = APR_ARRAY_IDX(protocols, i, const char*);
    if (!IsHttp2(protocol)) APR_ARRAY_PUSH(kept, const char*) = protocol;
  }
  if (kept->nelts == 0) APR_ARRAY_PUSH(kept, const char*) = AP_PROTOCOL_HTTP1;
  core->protocols = kept;
  const char* where =
      s->is_virtual && s->addrs
          ? apr_psprintf(pconf, "<VirtualHost %s:%u>", s->addrs->virthost,
                         static_cast<unsigned>(s->addrs->host_port))
          : "the main server";
  ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_WARNING, 0, s,
               "mod_ravelgard: HTTP/2 (h2, h2c) is taken out of the Protocols of %s (%s:%d): "
               "its connections are screened, and only HTTP/1 can be",
               where, s->defn_name ? s->defn_name : "?", s->defn_line_number);
}

// The parent opens today's log file (creating the directory, root's, when it
// is missing), but the children (another user when Apache starts as root)
// open the next day's: they need to write the directory, whichever way the
// policy chose it. Said at start-up rather than found out at midnight.
void CheckLogDirectory(server_rec* s, const LoadedPolicy* loaded) {
  const uid_t user = ap_unixd_config.user_id;
  const gid_t group = ap_unixd_config.group_id;
  if (geteuid() != 0 || user == 0 || user == static_cast<uid_t>(-1)) return;
  const char* directory = rg::PolicyLogDirectory(loaded->policy);
  // Policies that log to the same directory get one warning between them.
  for (const LoadedPolicy* earlier = loaded->next; earlier; earlier = earlier->next) {
    if (std::strcmp(rg::PolicyLogDirectory(earlier->policy), directory) == 0) return;
  }
  struct stat st {};
  if (stat(directory, &st) != 0) return;  // the policy's load has said what is wrong
  const bool writable = (st.st_uid == user && (st.st_mode & S_IWUSR)) ||
                        (st.st_gid == group && (st.st_mode & S_IWGRP)) ||
                        (st.st_mode & S_IWOTH);
  if (writable) return;
  ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_WARNING, 0, s,
               "mod_ravelgard: the log directory %s (%s) of RavelgardPolicy %s is not writable "
               "by %s, the user of Apache's children: from the next day on no rejection can be "
               "logged (chown %s %s)",
               directory, loaded->logDir ? "RavelgardLogDir" : "the policy's own", loaded->path,
               ap_unixd_config.user_name, ap_unixd_config.user_name, directory);
}

int PostConfig(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* main) {
  for (server_rec* s = main; s != nullptr; s = s->next) {
    if (ConfigOf(s)->policy != nullptr) RefuseHttp2(pconf, s);
  }
  for (LoadedPolicy* loaded = g_loaded; loaded; loaded = loaded->next) {
    CheckLogDirectory(main, loaded);
  }
  return OK;
}

// The block page carries the server's banner unless the policy fixes it; the
// banner is final only once every module's post_config has run.
void ChildInit(apr_pool_t*, server_rec* main) {
  for (LoadedPolicy* loaded = g_loaded; loaded; loaded = loaded->next) {
    const uint32_t error = rg::EnsureBlockPageText(loaded->policy, ap_get_server_banner());
    if (error != 0) {
      ap_log_error(APLOG_MARK, APLOG_ERR, 0, main,
                   "mod_ravelgard: the block page of %s cannot be built: error %u (%s); the "
                   "first connection tries again",
                   loaded->path, error, rg::ErrorMeaning(error));
    }
  }
}

// -------------------------------------------------------------- connection

// Where the output of a connection stands.
enum class OutPhase {
  kHead,      // a response head is due (or under way)
  kBody,      // the rest of the response, until the request ends
  kSwitched,  // the connection left HTTP/1 (101 Switching Protocols, CONNECT)
};

struct Connection {
  conn_rec* c;
  EnginePolicy* policy;
  Screening* screening;  // opened by the first read
  ap_filter_t* output;   // our output filter, to write below it
  apr_bucket_brigade* outBrigade;
  bool opened;
  bool blocked;   // the block page went out: nothing more in or out
  bool skipping;  // Simulate mode let a rejected request through: the rest
                  // of that request is not screened again
  bool switched;  // the connection left HTTP/1 (a 101, or a tunnel after
                  // CONNECT): its bytes are no requests, not screened
  bool connectAsked;  // the current request is a CONNECT
  OutPhase phase;
  uint32_t finalStatus;  // status of the current request's final response
  // The response head being gathered.
  char* head;
  size_t headLength;
  size_t headCapacity;
  uint32_t headMatched;  // FindHeadEnd's carry
};

// Longest response head the output filter gathers; a longer one is treated
// as a failure to set the Server: header.
constexpr size_t kMaxResponseHead = 1024 * 1024;

apr_status_t CloseConnection(void* data) {
  auto* cs = static_cast<Connection*>(data);
  rg::CloseScreening(cs->screening);
  cs->screening = nullptr;
  std::free(cs->head);
  cs->head = nullptr;
  return APR_SUCCESS;
}

int PreConnection(conn_rec* c, void*) {
  // HTTP/2's secondary connections carry no bytes of the client's own, and
  // mod_proxy's connections to its backends are Apache's own requests.
  if (c->master != nullptr || c->outgoing) return DECLINED;
  ServerConfig* conf = ConfigOf(c->base_server);
  if (conf->policy == nullptr) return DECLINED;
  auto* cs = static_cast<Connection*>(apr_pcalloc(c->pool, sizeof(Connection)));
  cs->c = c;
  cs->policy = conf->policy;
  cs->phase = OutPhase::kHead;
  cs->outBrigade = apr_brigade_create(c->pool, c->bucket_alloc);
  apr_pool_cleanup_register(c->pool, cs, CloseConnection, apr_pool_cleanup_null);
  ap_add_input_filter_handle(g_inputFilter, cs, nullptr, c);
  cs->output = ap_add_output_filter_handle(g_outputFilter, cs, nullptr, c);
  return OK;
}

// Writes the block page below our own output filter (mod_ssl encrypts it on
// an HTTPS connection) and flushes it. From here on the connection closes and
// nothing else of the server's reaches the client.
void WriteBlockPage(Connection* cs) {
  conn_rec* c = cs->c;
  cs->blocked = true;
  c->keepalive = AP_CONN_CLOSE;
  const char* page = nullptr;
  uint32_t length = 0;
  rg::BlockPage(cs->policy, &page, &length);
  apr_bucket_brigade* bb = apr_brigade_create(c->pool, c->bucket_alloc);
  if (length != 0) {
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_transient_create(page, length, c->bucket_alloc));
  }
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_flush_create(c->bucket_alloc));
  const apr_status_t rv = ap_pass_brigade(cs->output->next, bb);
  if (rv != APR_SUCCESS) {
    ap_log_cerror(APLOG_MARK, APLOG_DEBUG, rv, c, "mod_ravelgard: writing the block page failed");
  }
  apr_brigade_destroy(bb);
}

// Logs a rejection and, unless Simulate mode lets it through, blocks.
// Returns true when the connection is blocked.
bool Reject(Connection* cs, const Verdict& verdict) {
  rg::LogVerdict(cs->policy, cs->screening, verdict);
  char message[1024];
  rg::FormatVerdictMessage(cs->policy, verdict, message, sizeof message);
  const bool block = rg::Blocks(verdict);
  ap_log_cerror(APLOG_MARK, APLOG_INFO, 0, cs->c, "mod_ravelgard: %s request from %s: %s",
                block ? "refused" : "let through (Simulate)", cs->c->client_ip, message);
  if (block) {
    WriteBlockPage(cs);
  } else {
    cs->skipping = true;
  }
  return block;
}

// A failure of the platform (no memory for the connection's state, bytes that
// cannot be read): logged with what arrived of the request, if anything, and
// blocked in every mode.
bool RejectForError(Connection* cs, uint32_t error) {
  Verdict verdict{};
  verdict.kind = VerdictKind::kRejected;
  verdict.reason = rg::kReasonWindowsError;
  verdict.winError = error;
  verdict.simulated = false;
  return Reject(cs, verdict);
}

// The first read of a connection: the TLS handshake (and with it ALPN) is
// over, the client address known. Returns false when the connection is
// blocked.
bool OpenConnection(Connection* cs) {
  cs->opened = true;
  conn_rec* c = cs->c;
  const char* protocol = ap_get_protocol(c);
  if (protocol != nullptr && std::strcmp(protocol, AP_PROTOCOL_HTTP1) != 0) {
    ap_log_cerror(APLOG_MARK, APLOG_ERR, 0, c,
                  "mod_ravelgard: a %s connection reached a screened server; it is closed, "
                  "since only HTTP/1 can be screened",
                  protocol);
    cs->blocked = true;
    c->aborted = 1;
    return false;
  }
  uint32_t error = rg::EnsureBlockPageText(cs->policy, ap_get_server_banner());
  if (error == 0) error = rg::OpenScreening(cs->policy, c->client_ip, &cs->screening);
  if (error != 0) return !RejectForError(cs, error);
  return true;
}

// The request asks to leave HTTP. Only a CONNECT is agreed to with a 2xx (an
// Upgrade header needs 101, which ends screening whatever was asked).
void NoteUpgrade(Connection* cs) {
  const void* request = nullptr;
  uint32_t length = 0;
  rg::RecordedRequest(cs->screening, &request, &length);
  cs->connectAsked = length >= 8 && std::memcmp(request, "CONNECT ", 8) == 0;
}

// Screens the buckets Apache's parser is about to get. Returns false when the
// connection is blocked.
bool ScreenBuckets(Connection* cs, apr_bucket* first, apr_bucket_brigade* bb,
                   apr_read_type_e block) {
  for (apr_bucket* e = first; e != APR_BRIGADE_SENTINEL(bb); e = APR_BUCKET_NEXT(e)) {
    if (cs->skipping) return true;
    if (APR_BUCKET_IS_METADATA(e)) continue;
    const char* data = nullptr;
    apr_size_t length = 0;
    const apr_status_t rv = apr_bucket_read(e, &data, &length, block);
    if (rv != APR_SUCCESS) {
      // Bytes that cannot be read here cannot be screened: they do not go up.
      ap_log_cerror(APLOG_MARK, APLOG_ERR, rv, cs->c, "mod_ravelgard: reading the request failed");
      return !RejectForError(cs, kErrorReadFailed);
    }
    while (length > 0) {
      const uint32_t piece = length > 0x40000000 ? 0x40000000 : static_cast<uint32_t>(length);
      const Verdict verdict = rg::Screen(cs->screening, data, piece);
      if (verdict.kind == VerdictKind::kRejected) {
        if (Reject(cs, verdict)) return false;
        break;  // Simulate: the rest of this request goes up unscreened
      }
      if (verdict.upgrade) NoteUpgrade(cs);
      // The engine stops at the end of a request; what follows in the same
      // bytes is the next one (Apache reads one request at a time, so this
      // hardly happens, but the bytes must not go up unscreened if it does).
      const uint32_t used = verdict.consumed != 0 && verdict.consumed < piece ? verdict.consumed
                                                                              : piece;
      data += used;
      length -= used;
    }
  }
  return true;
}

apr_status_t InputFilter(ap_filter_t* f, apr_bucket_brigade* bb, ap_input_mode_t mode,
                         apr_read_type_e block, apr_off_t readbytes) {
  auto* cs = static_cast<Connection*>(f->ctx);
  if (cs->blocked) return APR_ECONNABORTED;
  // Speculative reads leave the bytes where they are; Apache reads them again
  // (and we screen them) when it consumes them.
  if (mode == AP_MODE_SPECULATIVE || mode == AP_MODE_INIT || cs->switched) {
    return ap_get_brigade(f->next, bb, mode, block, readbytes);
  }
  apr_bucket* before = APR_BRIGADE_LAST(bb);
  const apr_status_t rv = ap_get_brigade(f->next, bb, mode, block, readbytes);
  if (rv != APR_SUCCESS) return rv;
  if (!cs->opened && !OpenConnection(cs)) {
    apr_brigade_cleanup(bb);
    return APR_ECONNABORTED;
  }
  if (!cs->skipping && !ScreenBuckets(cs, APR_BUCKET_NEXT(before), bb, block)) {
    apr_brigade_cleanup(bb);
    return APR_ECONNABORTED;
  }
  return APR_SUCCESS;
}

// ----------------------------------------------------------------- output

// The current request is over (its EOR bucket passes): the engine starts the
// next request afresh.
void RequestEnded(Connection* cs) {
  if (cs->screening != nullptr) {
    rg::ResponseStarted(cs->screening, cs->finalStatus != 0 ? cs->finalStatus : 200);
  }
  cs->skipping = false;
  cs->connectAsked = false;
  cs->finalStatus = 0;
  if (cs->phase != OutPhase::kSwitched) cs->phase = OutPhase::kHead;
}

void PassHeadUnchanged(Connection* cs, apr_bucket_brigade* out) {
  if (cs->headLength != 0) {
    APR_BRIGADE_INSERT_TAIL(out, apr_bucket_heap_create(cs->head, cs->headLength, nullptr,
                                                        cs->c->bucket_alloc));
  }
  cs->headLength = 0;
  cs->headMatched = 0;
}

bool AppendHead(Connection* cs, const char* data, size_t length) {
  if (cs->headLength + length > cs->headCapacity) {
    size_t capacity = cs->headCapacity ? cs->headCapacity : 1024;
    while (capacity < cs->headLength + length) capacity *= 2;
    char* grown = static_cast<char*>(std::realloc(cs->head, capacity));
    if (grown == nullptr) return false;
    cs->head = grown;
    cs->headCapacity = capacity;
  }
  std::memcpy(cs->head + cs->headLength, data, length);
  cs->headLength += length;
  return true;
}

// The Server: header cannot be set as the policy asks: the client gets the
// block page instead of the response, in Simulate mode too.
void FailHeaderRewrite(Connection* cs, const char* why) {
  ap_log_cerror(APLOG_MARK, APLOG_ERR, 0, cs->c,
                "mod_ravelgard: the Server: header of a response cannot be set (%s); the block "
                "page replaces the response",
                why);
  cs->headLength = 0;
  cs->headMatched = 0;
  WriteBlockPage(cs);
}

// A whole head has been gathered: rewrite it into out.
void FinishHead(Connection* cs, apr_bucket_brigade* out) {
  const uint32_t status = rg::apache::ParseStatus(cs->head, cs->headLength);
  const char* text = nullptr;
  const rg::ServerHeaderAction action = rg::ServerHeaderDecision(cs->policy, &text);
  if (action == rg::ServerHeaderAction::kKeep) {
    PassHeadUnchanged(cs, out);
  } else {
    const size_t capacity =
        rg::apache::RewrittenHeadCapacity(cs->headLength, text ? std::strlen(text) : 0);
    char* rewritten = static_cast<char*>(std::malloc(capacity));
    if (rewritten == nullptr) {
      FailHeaderRewrite(cs, "no memory");
      return;
    }
    const size_t length =
        rg::apache::RewriteServerHeader(cs->head, cs->headLength, action, text, rewritten);
    // The bucket takes the block over and frees it.
    APR_BRIGADE_INSERT_TAIL(out, apr_bucket_heap_create(rewritten, length, std::free,
                                                        cs->c->bucket_alloc));
    cs->headLength = 0;
    cs->headMatched = 0;
  }
  if (status == 101 || (cs->connectAsked && status >= 200 && status < 300)) {
    cs->phase = OutPhase::kSwitched;
    cs->switched = true;
  } else if (status >= 100 && status < 200) {
    cs->phase = OutPhase::kHead;  // an interim response: the final head follows
  } else {
    cs->phase = OutPhase::kBody;
    cs->finalStatus = status;
  }
}

apr_status_t OutputFilter(ap_filter_t* f, apr_bucket_brigade* bb) {
  auto* cs = static_cast<Connection*>(f->ctx);
  apr_bucket_brigade* out = cs->outBrigade;
  while (!APR_BRIGADE_EMPTY(bb)) {
    apr_bucket* e = APR_BRIGADE_FIRST(bb);
    if (cs->blocked) {
      // Only the connection's bookkeeping (end of request, flush, close) goes
      // on after the block page.
      APR_BUCKET_REMOVE(e);
      if (APR_BUCKET_IS_METADATA(e)) {
        APR_BRIGADE_INSERT_TAIL(out, e);
      } else {
        apr_bucket_destroy(e);
      }
      continue;
    }
    if (AP_BUCKET_IS_EOR(e) || AP_BUCKET_IS_EOC(e)) {
      PassHeadUnchanged(cs, out);  // a head cut short: nothing to rewrite
      if (AP_BUCKET_IS_EOR(e)) RequestEnded(cs);
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(out, e);
      continue;
    }
    if (cs->phase != OutPhase::kHead || APR_BUCKET_IS_METADATA(e)) {
      APR_BUCKET_REMOVE(e);
      APR_BRIGADE_INSERT_TAIL(out, e);
      continue;
    }
    const char* data = nullptr;
    apr_size_t length = 0;
    const apr_status_t rv = apr_bucket_read(e, &data, &length, APR_BLOCK_READ);
    if (rv != APR_SUCCESS) {
      apr_brigade_cleanup(out);
      return rv;
    }
    size_t used = length;
    const bool complete = rg::apache::FindHeadEnd(data, length, &cs->headMatched, &used);
    if (used < length) apr_bucket_split(e, used);
    const bool appended = AppendHead(cs, data, used);
    APR_BUCKET_REMOVE(e);
    apr_bucket_destroy(e);
    if (!appended) {
      FailHeaderRewrite(cs, "no memory");
    } else if (!rg::apache::MayBeStatusLine(cs->head, cs->headLength)) {
      PassHeadUnchanged(cs, out);  // no head (HTTP/0.9): the bytes are body
      cs->phase = OutPhase::kBody;
    } else if (complete) {
      FinishHead(cs, out);
    } else if (cs->headLength > kMaxResponseHead) {
      FailHeaderRewrite(cs, "head too long");
    }
  }
  const apr_status_t rv = ap_pass_brigade(f->next, out);
  apr_brigade_cleanup(out);
  return rv;
}

// ------------------------------------------------------------------ hooks

void RegisterHooks(apr_pool_t*) {
  ap_hook_pre_config(PreConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_check_config(CheckConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  // After mod_http2's own, which may add h2 to a server's protocols.
  ap_hook_post_config(PostConfig, nullptr, nullptr, APR_HOOK_LAST);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_pre_connection(PreConnection, nullptr, nullptr, APR_HOOK_MIDDLE);
  // Connection level sits above mod_ssl (which is CONNECTION + 5), so the
  // filters see and write plain HTTP on HTTPS connections too.
  g_inputFilter =
      ap_register_input_filter("RAVELGARD_IN", InputFilter, nullptr, AP_FTYPE_CONNECTION);
  g_outputFilter =
      ap_register_output_filter("RAVELGARD_OUT", OutputFilter, nullptr, AP_FTYPE_CONNECTION);
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA ravelgard_module = {
    STANDARD20_MODULE_STUFF,
    nullptr,             // per-directory configuration
    nullptr,             // merge per-directory configuration
    CreateServerConfig,  // per-server configuration
    MergeServerConfig,   // merge per-server configuration
    kCommands,
    RegisterHooks,
    AP_MODULE_FLAG_NONE,
};
}
