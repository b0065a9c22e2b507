// What one operator's command (admin.h) works with, shared by the files that hold
// the commands' handlers; the table of commands is in admin.cpp.
#pragma once

#include "ops/admin.h"
#include "store/store.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace server {

// Exit codes (admin.h).
constexpr int kAdminDone = 0;
constexpr int kAdminNotFound = 1;
constexpr int kAdminUsage = 2;

struct AdminContext {
    const AdminConfig& config;
    std::string command;           // its words, for messages: "accounts list"
    std::vector<std::string> args; // the words after the command's own
    std::FILE* out;
    std::FILE* err;
    std::unique_ptr<Store> store;

    // Opened by the commands that need it (a backup reads the file itself); said on
    // err when it cannot be.
    Store* open();
};

// The first argument, a name given in UTF-8, as it is stored (GBK); false (said on
// err) when GBK cannot hold it.
bool admin_account_name(AdminContext& ctx, std::string& gbk_name);
// Says there is no account of the first argument's name; kAdminNotFound.
int admin_no_such_account(AdminContext& ctx);

// The event record's commands (admin_events.cpp).
int events_list(AdminContext& ctx);
int events_verify(AdminContext& ctx);
int events_prune(AdminContext& ctx);

// The audit of the stored passwords (audit.cpp).
int passwords_audit(AdminContext& ctx);

// Staged rollouts of a client update (admin_rollout.cpp).
int rollout_start(AdminContext& ctx);
int rollout_percent(AdminContext& ctx);
int rollout_pause(AdminContext& ctx);
int rollout_resume(AdminContext& ctx);
int rollout_pull(AdminContext& ctx);
int rollout_finish(AdminContext& ctx);
int rollout_status(AdminContext& ctx);

} // namespace server
