#include "modsec_engine.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <modsecurity/intervention.h>
#include <modsecurity/modsecurity.h>
#include <modsecurity/rules_set.h>
#include <modsecurity/transaction.h>

namespace rg::peer {
namespace {

// In C++ the library's C interface lives in its namespace.
using namespace modsecurity;  // NOLINT(google-build-using-namespace)

// The rules' "log" action reports every match here; a connector would write
// it to the server's error log. Dropping it keeps disk I/O out of the
// figures while the engine still builds every message.
void DiscardRuleMessage(void*, const void*) {}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::vector<std::string> ConfFilesIn(const std::string& dir) {
  std::vector<std::string> files;
  DIR* d = opendir(dir.c_str());
  if (!d) return files;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0)
      files.push_back(dir + "/" + name);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

// Returns the intervention's status when it is disruptive, else 0.
int Disruption(Transaction* transaction) {
  ModSecurityIntervention it{};
  it.status = 200;
  int status = 0;
  if (msc_intervention(transaction, &it) && it.disruptive) status = it.status ? it.status : 403;
  std::free(it.url);
  std::free(it.log);
  return status;
}

}  // namespace

ModSecConfig DefaultModSecConfig(const std::string& engineConf) {
  return {engineConf, EnvOr("RG_CRS_SETUP", "/etc/modsecurity/crs/crs-setup.conf"),
          EnvOr("RG_CRS_RULES", "/usr/share/modsecurity-crs/rules")};
}

bool ModSecStart(ModSecEngine* engine, const ModSecConfig& config, std::string* error) {
  *engine = {};
  ModSecurity* msc = msc_init();
  msc_set_connector_info(msc, "ravelgard-peer-bench");
  msc_set_log_cb(msc, DiscardRuleMessage);
  RulesSet* rules = msc_create_rules_set();
  engine->modsecurity = msc;
  engine->rules = rules;

  std::vector<std::string> files{config.engineConf, config.crsSetup};
  std::vector<std::string> crs = ConfFilesIn(config.crsRulesDir);
  if (crs.empty()) {
    *error = "no rule files in " + config.crsRulesDir;
    return false;
  }
  files.insert(files.end(), crs.begin(), crs.end());
  for (const std::string& file : files) {
    const char* parseError = nullptr;
    if (msc_rules_add_file(rules, file.c_str(), &parseError) < 0) {
      *error = file + ": " + (parseError ? parseError : "cannot be loaded");
      return false;
    }
    ++engine->ruleFiles;
  }
  return true;
}

int ModSecScreen(const ModSecEngine* engine, const ParsedRequest& request) {
  auto* msc = static_cast<ModSecurity*>(engine->modsecurity);
  auto* rules = static_cast<RulesSet*>(engine->rules);
  Transaction* t = msc_new_transaction(msc, rules, nullptr);
  int status = 0;
  // Phase by phase as a connector does, stopping at the first disruption.
  msc_process_connection(t, "10.0.0.5", 50312, "127.0.0.1", 80);
  std::string uri(request.uri);
  std::string method(request.method);
  std::string version(request.version);
  msc_process_uri(t, uri.c_str(), method.c_str(), version.c_str());
  status = Disruption(t);
  if (status == 0) {
    for (const HeaderField& h : request.headers)
      msc_add_n_request_header(t, reinterpret_cast<const unsigned char*>(h.name.data()),
                               h.name.size(),
                               reinterpret_cast<const unsigned char*>(h.value.data()),
                               h.value.size());
    msc_process_request_headers(t);
    status = Disruption(t);
  }
  if (status == 0) {
    if (!request.body.empty())
      msc_append_request_body(t, reinterpret_cast<const unsigned char*>(request.body.data()),
                              request.body.size());
    msc_process_request_body(t);
    status = Disruption(t);
  }
  msc_transaction_cleanup(t);
  return status;
}

void ModSecStop(ModSecEngine* engine) {
  if (engine->rules) msc_rules_cleanup(static_cast<RulesSet*>(engine->rules));
  if (engine->modsecurity) msc_cleanup(static_cast<ModSecurity*>(engine->modsecurity));
  *engine = {};
}

}  // namespace rg::peer
