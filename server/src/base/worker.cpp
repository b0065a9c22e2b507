#include "base/worker.h"

#include "base/log.h"

#include <exception>

namespace server {

std::thread start_worker(std::string name, std::function<void()> body) {
    return std::thread([name = std::move(name), body = std::move(body)]() noexcept {
        const auto report = [&name](const char* why) noexcept {
            try {
                log_error(name + " stopped: " + why);
            } catch (...) {
                // Out of memory even for the line: the thread ends without it.
            }
        };
        try {
            body();
        } catch (const std::exception& e) {
            report(e.what());
        } catch (...) {
            report("an exception of an unknown type");
        }
    });
}

} // namespace server
