#include "app/routes.h"

#include "base/rate_limiter.h"
#include "base/charset.h"
#include "base/clock.h"
#include "base/log.h"
#include "http/answers.h"
#include "protocol/messages.h"

#include <exception>
#include <memory>
#include <optional>
#include <string_view>

namespace server {

bool store_ready(Store& store) {
    const int64_t start = monotonic_ms();
    try {
        store.ping();
    } catch (const std::exception&) {
        return false;
    }
    return monotonic_ms() - start <= 1000;
}

namespace {

// Readiness checks per client address and minute on the public port: each one
// asks the store. A balancer asks every second or two; balancers that ask more, or
// share an address, are exempt or ask the admin listener, which does not count.
constexpr int kReadyChecksPerMinute = 60;
// Addresses whose readiness budgets are remembered (the longest unseen go first).
constexpr size_t kReadyCheckAddresses = 10000;

// A GET or HEAD of a file served for download: a rollout's, or a resource (the
// update file and its signature); nothing for any other request.
std::optional<Response> serve_download(const Routes& routes, const Request& req) {
    if (req.method != "GET" && req.method != "HEAD")
        return std::nullopt;
    if (routes.rollouts) {
        if (std::optional<Response> rollout = routes.rollouts->serve(req))
            return rollout;
    }
    for (const Resource& r : routes.resources) {
        if (r.path == req.path)
            return serve_resource(r, req);
    }
    return std::nullopt;
}

} // namespace

Handler make_download_handler(const Routes& routes) {
    const std::string not_found = utf8_to_gbk("找不到该页面").value_or("not found");
    return [routes, not_found](const Request& req) {
        if (std::optional<Response> file = serve_download(routes, req))
            return std::move(*file);
        log_info(req.client + " " + std::string(req.method) + " " +
                     printable(path_for_log(req.path).substr(0, 200)) +
                     " -> 404 (the download listener serves downloads only)",
                 "http");
        Response res = text_answer(404, not_found);
        res.close = req.kind != Request::Kind::Normal;
        return res;
    };
}

Handler make_admin_handler(const Metrics& metrics, Gauges gauges, std::function<bool()> ready) {
    return [&metrics, gauges, ready](const Request& req) {
        Response res;
        if (answer_health(
                req, ready, [] { return true; }, res))
            return res;
        if ((req.method == "GET" || req.method == "HEAD") && req.path == "/metrics") {
            res = text_answer(200, metrics.render(gauges));
            res.content_type = "text/plain; version=0.0.4; charset=utf-8";
            return res;
        }
        res = text_answer(404, "not found\n");
        res.content_type = "text/plain";
        return res;
    };
}

Handler make_handler(Commands& commands, const Routes& routes) {
    // A GET of the endpoint answers with a small page, so a person or a
    // monitor can see the server is up.
    const std::string page =
        "<html><body>" + utf8_to_gbk("Tarnix账号服务运行中").value_or("ok") + "</body></html>";
    const std::string not_found = utf8_to_gbk("找不到该页面").value_or("not found");

    auto is_exempt = [routes](const Request& req) {
        bool exempt = false;
        for (const std::string& a : routes.exempt_addresses)
            exempt = exempt || a == req.client;
        return exempt;
    };
    auto ready_budget = std::make_shared<RateLimiter>(kReadyChecksPerMinute, kReadyCheckAddresses);
    return [&commands, routes, page, not_found, is_exempt, ready_budget](const Request& req) {
        // Only the lines other than a command's need it: not made for every request.
        auto what = [&req] {
            return req.client + " " + std::string(req.method) + " " +
                   printable(path_for_log(req.path).substr(0, 200));
        };
        // The proxy's own connections are for its health checks, nothing else.
        if (req.proxy_local) {
            Response res;
            if (answer_health(
                    req, routes.ready, [] { return true; }, res))
                return res;
            log_warning(what() + " -> 403 refused: a proxy's LOCAL connection asks more than a "
                                 "health check",
                        "http");
            res = text_answer(403, gbk(Msg::BadRequest));
            res.close = true;
            return res;
        }
        if (req.kind == Request::Kind::CutShort) {
            log_info(what() + " -> 400 body cut short", "http");
            return text_answer(400, gbk(Msg::BadRequest));
        }
        if (req.kind == Request::Kind::HeadersTooLarge) {
            log_info(what() + " -> 431 headers too large", "http");
            Response res = text_answer(431, gbk(Msg::BadRequest));
            res.close = true;
            return res;
        }
        const std::string_view method = req.method;
        if (method == "POST" && req.path == routes.endpoint_path) {
            if (req.kind == Request::Kind::BodyTooLarge) {
                log_info(what() + " -> 413 body too large", "http");
                Response res = text_answer(413, gbk(Msg::TooLarge));
                res.close = true;
                return res;
            }
            const bool exempt = is_exempt(req);
            const double start = monotonic_seconds();
            static const std::string kUncounted;
            Reply reply = commands.handle(
                req.body, exempt ? kUncounted : req.client_key,
                [&req] { return req.header("Cookie"); }, req.over_tls, req.client);
            const double seconds = monotonic_seconds() - start;
            if (routes.metrics)
                routes.metrics->request(reply.label, reply.outcome, seconds);
            log_request(RequestRecord{req.client, reply.command, reply.account, reply.result,
                                      seconds * 1000});
            if (reply.outcome == Outcome::Ok && reply.label == Command::ChangePassword &&
                routes.on_password_changed)
                routes.on_password_changed(reply.account, req.client);
            if (reply.event && routes.events)
                routes.events->record(NewEvent{now_seconds(), reply.event, reply.account,
                                               req.client, reply.event_detail});
            if (reply.new_device && routes.on_new_device)
                routes.on_new_device(reply.account, req.client);
            Response res = text_answer(reply.status, std::move(reply.body));
            if (!reply.set_cookie.empty())
                res.headers.emplace_back("Set-Cookie", reply.set_cookie);
            return res;
        }
        const bool get = method == "GET" || method == "HEAD";
        Response res;
        const auto within_budget = [&] {
            return is_exempt(req) || ready_budget->allow(req.client_key, monotonic_ms());
        };
        if (answer_health(req, routes.ready, within_budget, res)) {
            // Asked every second by the balancer: not worth a log line each.
        } else if (routes.recovery && is_recovery_path(req.path)) {
            res = routes.recovery->handle(req, is_exempt(req));
            log_info(what() + " -> " + std::to_string(res.status), "http");
        } else if (get && req.path == routes.endpoint_path) {
            log_info(what() + " -> 200", "http");
            res = text_answer(200, page);
            res.content_type = "text/html; charset=gbk";
        } else if (std::optional<Response> file = serve_download(routes, req)) {
            res = std::move(*file);
        } else {
            log_info(what() + " -> 404", "http");
            res = text_answer(404, not_found);
        }
        // A request body nobody reads is not worth keeping the connection for.
        res.close = res.close || req.kind == Request::Kind::BodyTooLarge;
        return res;
    };
}

} // namespace server
