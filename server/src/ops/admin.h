// tarnix-server admin: an operator's commands on the database the servers use.
// Each is one short statement or transaction (SQLite waits out another process's
// lock), so it is safe while servers run on the same database.
//
// The commands are rows of one table, command words to handler; another command is
// one more row. Called from main's thread; writes its answer to `out` and what went
// wrong to `err`. Exit codes: 0 done, 1 nothing to act on (no such account, a mail
// that cannot be sent again) or the work failed, 2 usage.
#pragma once

#include "base/password_screen.h"
#include "base/policy.h"
#include "store/store.h"
#include "web/recovery_mail.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace server {

// What the commands work on: the store, and where recovery links point.
struct AdminConfig {
    StoreConfig store;
    std::string public_url; // "": no recovery links
    int64_t link_seconds = kLinkSeconds;
    // The security event record's key ("": actions are not recorded, events cannot
    // be verified) and this machine's name in it.
    std::string event_key;
    std::string instance;
    int64_t event_retention_seconds = 0; // events prune (0: nothing to prune)
    // The password audit: the screen's corpus and rules, the service's name (UTF-8),
    // and, for --notify, the mails' route, made when first asked for (it reads the
    // relay's password); false with the reason when it cannot be.
    PasswordScreenConfig passwords;
    std::string service;
    std::function<bool(NoticeMailing&, std::string&)> notice_mailing;
    std::string update_description; // UTF-8: a rollout's description when none is given
};

// `words` are what follows the settings: "accounts", "show", NAME...
int run_admin(const AdminConfig& config, const std::vector<std::string>& words, std::FILE* out,
              std::FILE* err);

// The commands, one per line, for the usage text.
std::string admin_usage();

} // namespace server
