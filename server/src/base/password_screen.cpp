#include "base/password_screen.h"

#include "base/breach_corpus.h"
#include "base/charset.h"
#include "base/crypto.h"

#include <array>

#include <openssl/crypto.h>
#include <pwquality.h>
#include <sys/stat.h>

namespace server {
namespace {

constexpr size_t kCount = static_cast<size_t>(Refusal::Count);
const std::array<const char*, kCount> kLabels = {"none", "breached", "simple"};
const std::array<const char*, kCount> kTexts = {"", "该密码已在泄露的密码库中出现，请换一个密码",
                                                "密码过于简单，请换一个更复杂的密码"};

// A copy of a password that is wiped when it goes.
struct WipedText {
    std::string text;
    ~WipedText() { OPENSSL_cleanse(text.data(), text.size()); }
};

std::string pwquality_reason(int code, void* aux) {
    char buf[256];
    const char* text = pwquality_strerror(buf, sizeof buf, code, aux);
    return text ? text : "error " + std::to_string(code);
}

} // namespace

const char* refusal_label(Refusal r) {
    return kLabels[static_cast<size_t>(r)];
}

const char* refusal_text(Refusal r) {
    return kTexts[static_cast<size_t>(r)];
}

// libpwquality's settings, and the lock its checks take: the dictionary lookups
// underneath are not documented as safe on several threads at once.
struct PasswordScreen::Quality {
    pwquality_settings_t* settings = nullptr;
    std::mutex mutex;
    ~Quality() { pwquality_free_settings(settings); }
};

PasswordScreen::PasswordScreen(PasswordScreenConfig config) : config_(std::move(config)) {}

PasswordScreen::~PasswordScreen() = default;

std::shared_ptr<const PasswordScreen::Loaded> PasswordScreen::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loaded_;
}

bool PasswordScreen::load(std::string& error) {
    auto next = std::make_shared<Loaded>();
    if (!config_.breached_file.empty()) {
        struct stat st {};
        std::unique_ptr<BreachCorpus> corpus = BreachCorpus::open(config_.breached_file, error);
        if (!corpus)
            return false;
        if (stat(config_.breached_file.c_str(), &st) == 0)
            next->corpus_identity = config_.breached_file + ":" + std::to_string(st.st_size) + ":" +
                                    std::to_string(st.st_mtim.tv_sec) + "." +
                                    std::to_string(st.st_mtim.tv_nsec);
        next->corpus = std::move(corpus);
    }
    if (!config_.quality_file.empty()) {
        auto quality = std::make_shared<Quality>();
        quality->settings = pwquality_default_settings();
        if (!quality->settings) {
            error = "libpwquality: out of memory";
            return false;
        }
        void* aux = nullptr;
        const int read =
            pwquality_read_config(quality->settings, config_.quality_file.c_str(), &aux);
        if (read != 0) {
            error = "password-quality-file " + config_.quality_file + ": " +
                    pwquality_reason(read, aux);
            return false;
        }
        // A dictionary that cannot be opened fails every password: found now, not
        // at the first sign-up.
        const std::string strong = "Tq7#" + random_text(20, "abcdefghjkmnpqrstuvwxyz23456789");
        aux = nullptr;
        const int score =
            pwquality_check(quality->settings, strong.c_str(), nullptr, nullptr, &aux);
        if (score < 0) {
            error = "password-quality-file " + config_.quality_file +
                    ": a random password fails the rules (" + pwquality_reason(score, aux) +
                    "); is the dictionary (cracklib-runtime) installed?";
            return false;
        }
        next->quality = std::move(quality);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    loaded_ = std::move(next);
    return true;
}

std::string PasswordScreen::corpus_identity() const {
    const std::shared_ptr<const Loaded> loaded = current();
    return loaded ? loaded->corpus_identity : std::string();
}

Refusal PasswordScreen::check(std::string_view gbk_password, const std::string& gbk_account) const {
    const std::shared_ptr<const Loaded> loaded = current();
    if (!loaded)
        return Refusal::None;
    const WipedText gbk{std::string(gbk_password)};
    const WipedText utf8{gbk_to_utf8(gbk.text).value_or(std::string())};
    if (loaded->corpus) {
        if (loaded->corpus->contains(sha1(gbk_password)))
            return Refusal::Breached;
        if (!utf8.text.empty() && utf8.text != gbk_password &&
            loaded->corpus->contains(sha1(utf8.text)))
            return Refusal::Breached;
    }
    if (loaded->quality && !utf8.text.empty()) {
        const std::string user = gbk_to_utf8(gbk_account).value_or(std::string());
        std::lock_guard<std::mutex> lock(loaded->quality->mutex);
        void* aux = nullptr;
        const int score = pwquality_check(loaded->quality->settings, utf8.text.c_str(), nullptr,
                                          user.empty() ? nullptr : user.c_str(), &aux);
        // The reason text is not wanted, but its memory is freed by asking for it.
        if (score < 0) {
            char buf[256];
            pwquality_strerror(buf, sizeof buf, score, aux);
            return Refusal::TooSimple;
        }
    }
    return Refusal::None;
}

} // namespace server
