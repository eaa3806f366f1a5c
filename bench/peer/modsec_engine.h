// ModSecurity v3 with the OWASP Core Rule Set, driven the way a web server
// connector drives it: one transaction per request, through the request
// body phase, where the Core Rule Set makes its blocking decision.
#pragma once

#include <string>

#include "requests.h"

namespace rg::peer {

// The engine and its compiled rules; opaque library handles.
struct ModSecEngine {
  void* modsecurity;
  void* rules;
  int ruleFiles;  // configuration files loaded
};

// Where the rules come from. The engine file switches blocking on, gives
// the body to the rules and turns the audit log off; the Core Rule Set's
// crs-setup.conf and rules/*.conf follow in file-name order (included one
// by one, since libmodsecurity refuses IncludeOptional).
struct ModSecConfig {
  std::string engineConf;   // our SecRuleEngine On ... file
  std::string crsSetup;     // crs-setup.conf
  std::string crsRulesDir;  // the directory of REQUEST-*.conf, RESPONSE-*.conf
};

// Debian's locations of the Core Rule Set, overridable with RG_CRS_SETUP and
// RG_CRS_RULES.
ModSecConfig DefaultModSecConfig(const std::string& engineConf);

// Creates the engine and loads every rule file. Returns true, or false with
// *error naming the file and the parser's message.
bool ModSecStart(ModSecEngine* engine, const ModSecConfig& config, std::string* error);

// Screens one request: connection, URI, headers, header phase, body, body
// phase. Returns the status of the disruptive intervention (403 when the
// Core Rule Set blocks), or 0 when the request may pass.
int ModSecScreen(const ModSecEngine* engine, const ParsedRequest& request);

void ModSecStop(ModSecEngine* engine);

}  // namespace rg::peer
