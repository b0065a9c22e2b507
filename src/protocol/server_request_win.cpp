#include "protocol/server_request_win.h"

#include "protocol/http_request_win.h"
#include "platform/secret_text.h"
#include "protocol/request.h"

std::string server_request(const std::string& endpoint, std::string_view command,
                           std::string_view parameters) {
    // The cookie argument is left out, so the platform's cookie handling stays on;
    // cookies, header texts and response headers are not needed here.
    // The request text may carry a password: wiped once the exchange is over.
    std::string text = request_body(command, parameters);
    std::string body = http_request(endpoint, kHttpPost, text);
    wipe_bytes(text.data(), text.size());
    return answer_from_body(body);
}
