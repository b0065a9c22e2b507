// What an admin command's handler gets (admin.cpp's table calls them), and the
// handlers kept in files of their own. Main's thread only.
#pragma once

#include "ops/admin.h"
#include "store/store.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace server {

namespace admin_exit {
constexpr int kDone = 0;
constexpr int kNotFound = 1;
constexpr int kUsage = 2;
} // namespace admin_exit

struct AdminContext {
    const AdminConfig& config;
    std::string command;           // its words, for messages: "accounts list"
    std::vector<std::string> args; // the words after the command's own
    std::FILE* out;
    std::FILE* err;
    std::unique_ptr<Store> store;

    // Opened by the commands that need it (a backup reads the file itself).
    Store* open() {
        std::string error;
        store = Store::open(config.store, error);
        if (!store)
            std::fprintf(err, "tarnix-server admin: cannot open the database: %s\n", error.c_str());
        return store.get();
    }
};

// admin_rollout.cpp: staged rollouts of a client update.
int rollout_start(AdminContext& ctx);
int rollout_percent(AdminContext& ctx);
int rollout_pause(AdminContext& ctx);
int rollout_resume(AdminContext& ctx);
int rollout_pull(AdminContext& ctx);
int rollout_finish(AdminContext& ctx);
int rollout_status(AdminContext& ctx);

} // namespace server
