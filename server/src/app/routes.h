// The server's HTTP answers: the protocol endpoint, its small page, the recovery
// pages, the files served by GET/HEAD (the update file) and the health checks, on
// top of the engine; and the admin listener's.
#pragma once

#include "base/metrics.h"
#include "http/engine.h"
#include "http/static_files.h"
#include "protocol/commands.h"
#include "store/event_log.h"
#include "protocol/rollout.h"
#include "store/store.h"
#include "web/recovery.h"

#include <functional>
#include <string>
#include <vector>

namespace server {

struct Routes {
    std::string endpoint_path = "/tx-client.asp";
    std::vector<Resource> resources;
    // Client addresses (as text) that the per-address request budgets do not count.
    std::vector<std::string> exempt_addresses;
    // GET /readyz answers 200 when this says so, 503 otherwise (GET /healthz: 200);
    // 429 without asking, past a small budget per client address (exempt ones aside).
    std::function<bool()> ready;
    // Counts every protocol request when set (the admin listener is on).
    Metrics* metrics = nullptr;
    // Serves /account/... when set (a public URL is configured); 404 otherwise.
    Recovery* recovery = nullptr;
    // Serves the rollouts' files and signatures (under /download/) when set.
    Rollouts* rollouts = nullptr;
    // Called (account GBK, client address text) after every password change by "3".
    std::function<void(const std::string&, const std::string&)> on_password_changed;
    // Keeps the security events of the protocol's answers (Reply::event) when set.
    EventLog* events = nullptr;
    // Called (account GBK, client address text) after a sign-in by a client the
    // account did not know.
    std::function<void(const std::string&, const std::string&)> on_new_device;
};

// The handler the engine calls (from any of its loops at once); every request is
// logged (log.h).
Handler make_handler(Commands& commands, const Routes& routes);

// The download listener's handler: the files of make_handler's GET and HEAD under
// /download/ (the update file, its signature, the rollouts'), 404 for the rest.
Handler make_download_handler(const Routes& routes);

// The admin listener's handler: GET /metrics (the Prometheus text format),
// /healthz and /readyz as on the public port, /readyz without a budget.
Handler make_admin_handler(const Metrics& metrics, Gauges gauges, std::function<bool()> ready);

// True when the store takes a write within a second (Store::ping).
bool store_ready(Store& store);

} // namespace server
