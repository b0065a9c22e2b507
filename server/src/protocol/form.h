// Reading the client's form bodies.
//
// The client inserts passwords and e-mail addresses byte for byte, so a value may
// itself hold "&" or "=". A field therefore starts only at "&" followed by one of
// the protocol's field names and "="; any other "&" belongs to the value before it.
// Only the account name ("u") is percent-encoded; "+" is never a space.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace server {

enum class FormError { None, BadRequest, IllegalBytes };

// The protocol's fields, in a fixed set.
enum class Field : uint8_t { Cmd, U, P, Q, N, Emily, Count };

// A form's fields by name: each present or not. No map is built per request.
class Form {
public:
    // The field's value; nullptr when the body does not hold it.
    const std::string* get(Field f) const {
        const size_t i = static_cast<size_t>(f);
        return (present_ >> i & 1u) ? &values_[i] : nullptr;
    }
    // The field's place, now present, to fill; nullptr when it was already there.
    // The string keeps its capacity from an earlier form.
    std::string* claim(Field f) {
        const size_t i = static_cast<size_t>(f);
        if (present_ >> i & 1u)
            return nullptr;
        present_ |= 1u << i;
        return &values_[i];
    }
    void clear() { present_ = 0; }

private:
    std::array<std::string, static_cast<size_t>(Field::Count)> values_;
    unsigned present_ = 0;
};

// Fills `form` from a body that must start with "cmd=". A repeated field, a body
// that does not start with "cmd=" or a broken percent escape is BadRequest; a NUL
// byte, raw or escaped, is IllegalBytes.
FormError parse_form(const std::string& body, Form& form);

} // namespace server
