// The screen every new password passes (sign-up, a change, the recovery page, and the
// audit of stored ones): not in the breach corpus (breach_corpus.h), looked up as the
// SHA-1 of its UTF-8 form and of its GBK bytes, since a corpus may hold either; and
// accepted by the dictionary and pattern rules of libpwquality, with the settings file
// the operator names. Either part may be off; both off, every password passes.
//
// The refusal texts are written here once, for the protocol's answers (sent as GBK)
// and the recovery page (UTF-8) alike.
//
// Threads: check() from any thread, also while reload() runs on another (the corpus
// in use is held until its last check ends). Nothing throws but std::bad_alloc and
// what libcrypto cannot do (crypto.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace server {

class BreachCorpus;

enum class Refusal { None, Breached, TooSimple, Count };

// "breached", "simple": the metrics' label and the log's word.
const char* refusal_label(Refusal r);
// The answer a user sees (UTF-8): the password cannot be used, and why.
const char* refusal_text(Refusal r);

// Made from the settings (password_screen_config in configs.h).
struct PasswordScreenConfig {
    std::string breached_file; // "": no corpus
    std::string quality_file;  // libpwquality's settings; "": no quality rules
};

class PasswordScreen {
public:
    explicit PasswordScreen(PasswordScreenConfig config);
    ~PasswordScreen();
    PasswordScreen(const PasswordScreen&) = delete;
    PasswordScreen& operator=(const PasswordScreen&) = delete;

    // Opens the corpus and reads the quality settings (again, on SIGHUP). False with
    // the reason when one cannot be used; the ones in use before are kept.
    bool load(std::string& error);

    // Why `gbk_password` may not be used by `gbk_account` (None: it may).
    Refusal check(std::string_view gbk_password, const std::string& gbk_account) const;

    bool enabled() const { return !config_.breached_file.empty() || !config_.quality_file.empty(); }
    // Names the corpus in use: its path, size and modification time, so a new file
    // (renamed over the old one) is another corpus. "" without one.
    std::string corpus_identity() const;

private:
    struct Quality;
    struct Loaded {
        std::shared_ptr<const BreachCorpus> corpus;
        std::shared_ptr<Quality> quality;
        std::string corpus_identity;
    };
    std::shared_ptr<const Loaded> current() const;

    const PasswordScreenConfig config_;
    mutable std::mutex mutex_; // guards loaded_ (the pointer, not what it holds)
    std::shared_ptr<const Loaded> loaded_;
};

} // namespace server
