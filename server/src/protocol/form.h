// Reading the client's form bodies.
//
// The client inserts passwords and e-mail addresses byte for byte, so a value may
// itself hold "&" or "=". A field therefore starts only at "&" followed by one of
// the protocol's field names and "="; any other "&" belongs to the value before it.
// Only the account name ("u") is percent-encoded; "+" is never a space.
#pragma once

#include <map>
#include <string>

namespace server {

enum class FormError { None, BadRequest, IllegalBytes };

using Form = std::map<std::string, std::string>;

// Fills `form` from a body that must start with "cmd=". A repeated field, a body
// that does not start with "cmd=" or a broken percent escape is BadRequest; a NUL
// byte, raw or escaped, is IllegalBytes.
FormError parse_form(const std::string& body, Form& form);

} // namespace server
