#include "platform/secret_text.h"

void wipe_bytes(void* data, std::size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

SecretText::SecretText(std::string&& source) {
    reserve(source.size());
    text_.append(source);
    wipe_bytes(source.data(), source.size());
    source.clear();
}

SecretText::SecretText(SecretText&& other) {
    // Copied rather than moved: a moved short string leaves its bytes in the
    // source object's inline buffer.
    reserve(other.text_.size());
    text_.append(other.text_);
    other.wipe();
}

SecretText::~SecretText() {
    wipe();
}

void SecretText::reserve(std::size_t total) {
    if (total <= text_.capacity()) {
        return;
    }
    std::string bigger;
    bigger.reserve(total);
    bigger.append(text_);
    wipe();
    text_.swap(bigger);
}

SecretText& SecretText::append(std::string_view part) {
    reserve(text_.size() + part.size());
    text_.append(part);
    return *this;
}

void SecretText::wipe() {
    // The whole capacity: bytes of an earlier, longer content may lie past the end.
    text_.resize(text_.capacity());
    wipe_bytes(text_.data(), text_.size());
    text_.clear();
}
