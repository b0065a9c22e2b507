// The server's HTTP answers: the protocol endpoint, its small page and the files
// served by GET/HEAD (the update file), on top of the engine.
#pragma once

#include "commands.h"
#include "engine.h"
#include "metrics.h"
#include "recovery.h"
#include "store.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace server {

// Bytes served from memory that a reload may replace (the update signature). Every
// version is kept, since an answer being sent may still point into an older one (a
// few dozen bytes per reload). Any thread.
class ReplaceableBytes {
public:
    explicit ReplaceableBytes(std::string bytes) { replace(std::move(bytes)); }
    const std::string& current() const { return *current_.load(std::memory_order_acquire); }
    void replace(std::string bytes);

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<const std::string>> versions_;
    std::atomic<const std::string*> current_{nullptr};
};

// Something served by GET/HEAD at a path, with single byte ranges: a file read
// afresh for each request, or bytes held in memory.
struct Resource {
    std::string path;
    std::string file;                        // read from disk when `bytes` is null
    std::shared_ptr<ReplaceableBytes> bytes; // in memory, for the server's lifetime
    std::string content_type = "application/octet-stream";

    static Resource from_file(std::string path, std::string file);
    static Resource from_bytes(std::string path, std::string bytes);
};

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
    // Called (account GBK, client address text) after every password change by "3".
    std::function<void(const std::string&, const std::string&)> on_password_changed;
};

// The handler the engine calls (from any of its loops at once); every request is
// logged with `log_line`.
Handler make_handler(Commands& commands, const Routes& routes);

// The admin listener's handler: GET /metrics (the Prometheus text format),
// /healthz and /readyz as on the public port, /readyz without a budget.
Handler make_admin_handler(const Metrics& metrics, Gauges gauges, std::function<bool()> ready);

// True when the store takes a write within a second (Store::ping).
bool store_ready(Store& store);

} // namespace server
