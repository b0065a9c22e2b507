#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Overwrites `size` bytes at `data` with zeros in a way the optimiser may not
// drop (the writes go through a volatile pointer).
void wipe_bytes(void* data, std::size_t size);

// A text that holds a password or carries one (a request's parameter text). Its
// bytes are wiped when it goes away. It cannot be copied; texts are appended
// into room reserved beforehand, so no reallocation leaves an unwiped copy
// behind. The other copies the program makes on the way to the server are
// wiped too: the UTF-16 text read from the box (ui::text), the request text
// (server_request) and the copy of it handed to WinInet (http_request). What
// stays is outside the program's reach: the edit box's own text, and whatever
// the system's HTTP stack keeps.
class SecretText {
public:
    SecretText() = default;
    // Takes the bytes of `source` and wipes `source`.
    explicit SecretText(std::string&& source);
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    SecretText(SecretText&& other);
    SecretText& operator=(SecretText&&) = delete;
    ~SecretText();

    // Makes room for `total` bytes in all (call before appending).
    void reserve(std::size_t total);
    SecretText& append(std::string_view part);

    std::string_view view() const { return text_; }
    std::size_t size() const { return text_.size(); }
    bool empty() const { return text_.empty(); }

private:
    void wipe();
    std::string text_;
};
