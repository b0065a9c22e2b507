// New passwords against the breach corpus and the quality rules: the corpus search
// over the shapes a published list takes (either case, CRLF, a cut-off last line)
// and over a file of several GiB that it must not read whole; and each refusal at
// each place a password is chosen (sign-up, a change, the recovery page), with its
// text, leaving the account, the code and the link as they were.
#include "answers.h"
#include "base/breach_corpus.h"
#include "base/crypto.h"
#include "corpus_blocks.h"
#include "server_process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace server_test;

namespace {

const std::string kBreached = "\xb8\xc3\xc3\xdc\xc2\xeb\xd2\xd1\xd4\xda\xd0\xb9\xc2\xb6\xb5\xc4\xc3"
                              "\xdc\xc2\xeb\xbf\xe2\xd6"
                              "\xd0\xb3\xf6\xcf\xd6\xa3\xac\xc7\xeb\xbb\xbb\xd2\xbb\xb8\xf6\xc3\xdc"
                              "\xc2\xeb"; // 该密码已在泄露的密码库中出现，请换一个密码
const std::string kTooSimple =
    "\xc3\xdc\xc2\xeb\xb9\xfd\xd3\xda\xbc\xf2\xb5\xa5\xa3\xac\xc7\xeb\xbb\xbb\xd2\xbb\xb8\xf6\xb8"
    "\xfc\xb8\xb4\xd4\xd3\xb5\xc4\xc3\xdc\xc2\xeb"; // 密码过于简单，请换一个更复杂的密码
const char kBreachedUtf8[] = "该密码已在泄露的密码库中出现，请换一个密码";
const char kTooSimpleUtf8[] = "密码过于简单，请换一个更复杂的密码";

std::string upper_hex(const std::string& bytes) {
    std::string h = server::hex_lower(bytes);
    std::transform(h.begin(), h.end(), h.begin(), ::toupper);
    return h;
}

std::string hash_of(const std::string& password) {
    return upper_hex(server::sha1(password));
}

// A corpus of the given hex hashes, sorted as published, each with a count.
std::string corpus_text(std::vector<std::string> hashes, const std::string& eol = "\n") {
    std::sort(hashes.begin(), hashes.end());
    std::string text;
    for (size_t i = 0; i < hashes.size(); ++i)
        text += hashes[i] + ":" + std::to_string(i + 1) + eol;
    return text;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string temp_dir() {
    char tmpl[] = "/tmp/tarnix-corpus-XXXXXX";
    return mkdtemp(tmpl);
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// Mebibytes of the file in the page cache (mincore over a mapping of it).
size_t cached_mib(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const size_t size = std::filesystem::file_size(path);
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED)
        return SIZE_MAX;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in((size + page - 1) / page);
    size_t cached = 0;
    if (mincore(map, size, in.data()) == 0) {
        for (unsigned char c : in)
            cached += c & 1;
    }
    munmap(map, size);
    return cached * page >> 20;
}

} // namespace

TEST(BreachCorpusTest, FindsEveryLineAndNothingElseWhateverTheCaseAndLineEnds) {
    const std::string dir = temp_dir();
    std::vector<std::string> hashes;
    for (int i = 0; i < 300; ++i)
        hashes.push_back(hash_of("listed" + std::to_string(i)));
    std::vector<std::string> sorted = hashes;
    std::sort(sorted.begin(), sorted.end());
    struct Shape {
        const char* name;
        std::string text;
    };
    std::string lower = corpus_text(hashes);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    std::string cut_count = corpus_text(hashes); // the last count and line end gone
    cut_count.resize(cut_count.rfind(':'));
    std::string cut_hash = corpus_text(hashes); // the last line cut inside its hash
    cut_hash.resize(cut_hash.size() - 30);
    const std::vector<Shape> shapes = {
        {"LF", corpus_text(hashes)}, {"CRLF", corpus_text(hashes, "\r\n")},
        {"lower case", lower},       {"count cut off", cut_count},
        {"hash cut off", cut_hash},  {"blank lines", corpus_text(hashes, "\n\n")},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        write_file(dir + "/c.txt", shape.text);
        std::string error;
        std::unique_ptr<server::BreachCorpus> corpus =
            server::BreachCorpus::open(dir + "/c.txt", error);
        ASSERT_TRUE(corpus) << error;
        const bool last_gone = std::string(shape.name) == "hash cut off";
        for (size_t i = 0; i < sorted.size(); ++i) {
            const bool listed = !(last_gone && i + 1 == sorted.size());
            std::string digest;
            for (size_t k = 0; k < 40; k += 2)
                digest += static_cast<char>(std::stoi(sorted[i].substr(k, 2), nullptr, 16));
            EXPECT_EQ(corpus->contains(digest), listed) << i;
        }
        for (int i = 0; i < 300; ++i)
            EXPECT_FALSE(corpus->contains(server::sha1("absent" + std::to_string(i)))) << i;
        EXPECT_FALSE(corpus->contains(std::string(20, '\0'))) << "before the first line";
        EXPECT_FALSE(corpus->contains(std::string(20, '\xFF'))) << "after the last line";
    }
    // What is not a corpus is refused when opened, not met at the first sign-up.
    write_file(dir + "/empty.txt", "");
    write_file(dir + "/words.txt", "password\n123456\n");
    for (const char* bad : {"/empty.txt", "/words.txt", "/missing.txt"}) {
        std::string error;
        EXPECT_FALSE(server::BreachCorpus::open(dir + bad, error)) << bad;
        EXPECT_TRUE(contains(error, dir + bad)) << error;
    }
    std::filesystem::remove_all(dir);
}

// 3 GiB of sorted lines, made quickly: one block of lines is made once and written
// again and again, each time under the next of evenly spaced 8-digit prefixes (only
// the prefixes are patched), with the known hashes written between the blocks where
// they belong. Then the lookups may bring only a few of the file's pages into memory.
TEST(BreachCorpusTest, SearchesAFileOfSeveralGibibytesWithoutReadingItWhole) {
    const std::string dir = temp_dir();
    const std::string path = dir + "/big.txt";
    server_test::CorpusBlocks blocks(64u << 20, 48); // 48 x 64 MiB = 3 GiB
    std::vector<std::string> known;
    for (int i = 0; i < 50; ++i)
        known.push_back(hash_of("known" + std::to_string(i)));
    std::sort(known.begin(), known.end());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    size_t next_known = 0;
    for (uint64_t b = 0; b < blocks.count(); ++b) {
        const std::string p = blocks.prefix(b);
        std::string between;
        while (next_known < known.size() && known[next_known].substr(0, 8) < p)
            between += known[next_known++] + ":1\n";
        ASSERT_EQ(write(fd, between.data(), between.size()), static_cast<ssize_t>(between.size()));
        const std::vector<char>& block = blocks.block(b);
        ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    }
    std::string rest;
    for (; next_known < known.size(); ++next_known)
        rest += known[next_known] + ":1\n";
    ASSERT_EQ(write(fd, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    // Written out and dropped from the page cache, so what the lookups read shows.
    ASSERT_EQ(fdatasync(fd), 0);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    ASSERT_GT(std::filesystem::file_size(path), 3ull << 30);

    std::string error;
    std::unique_ptr<server::BreachCorpus> corpus = server::BreachCorpus::open(path, error);
    ASSERT_TRUE(corpus) << error;
    ASSERT_LT(cached_mib(path), 64) << "the page cache kept the file";
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(corpus->contains(server::sha1("known" + std::to_string(i)))) << i;
    for (int i = 0; i < 500; ++i)
        EXPECT_FALSE(corpus->contains(server::sha1("unknown" + std::to_string(i)))) << i;
    // 550 lookups of about 26 probes each, a page or two per probe: far below the file.
    EXPECT_LT(cached_mib(path), 128);
    corpus.reset();
    std::filesystem::remove_all(dir);
}

namespace {

const std::string kPublic = "http://tarnix.example";
// 密码安全 in GBK, as the client sends it (a password is not percent-decoded); the
// corpus lists the SHA-1 of its UTF-8 form only, so it is found through the conversion.
const std::string kHanGbk = "\xC3\xDC\xC2\xEB\xB0\xB2\xC8\xAB";
const std::string kHanUtf8 = "密码安全";
// 安全口令 in GBK: the corpus lists the SHA-1 of these bytes, not of its UTF-8 form.
const std::string kGbkListed = "\xB0\xB2\xC8\xAB\xBF\xDA\xC1\xEE";
const std::string kStrong = "Vq7#mzkwTr";

// A password the corpus lists that the quality rules would let through.
const std::string kLeakedStrong = "Hj5#tQ9wZx";

// A server that screens passwords: the corpus lists "leaked99", kLeakedStrong, the
// UTF-8 of 密码安全, the GBK of 安全口令 and "gbkonly!"; the quality rules are libpwquality's
// dictionary check with 6 characters at least.
struct ScreenedServer {
    std::string dir = temp_dir();
    ServerProcess* server = nullptr;
    ScreenedServer() {
        write_file(dir + "/corpus.txt",
                   corpus_text({hash_of("leaked99"), hash_of(kLeakedStrong), hash_of(kHanUtf8),
                                hash_of(kGbkListed), hash_of("gbkonly!")}));
        write_file(dir + "/pwquality.conf", "minlen = 6\ndictcheck = 1\n");
        server = new ServerProcess({"--breached-passwords", dir + "/corpus.txt",
                                    "--password-quality-file", dir + "/pwquality.conf",
                                    "--public-url", kPublic, "--admin-listen", "127.0.0.1:0"});
    }
    ~ScreenedServer() {
        delete server;
        std::filesystem::remove_all(dir);
    }
};

std::string csrf_of(const std::string& html) {
    std::smatch m;
    return std::regex_search(html, m, std::regex("name=\"csrf\" value=\"([^\"]*)\"")) ? m[1].str()
                                                                                      : "";
}

// The recovery link's form: the page that answers a new password.
struct LinkForm {
    const ServerProcess& server;
    std::string path, cookie;
    Answer set(const std::string& password) {
        httplib::Client c("127.0.0.1", server.port());
        auto form = c.Get(path.c_str());
        if (!form)
            return Answer{-1, ""};
        cookie = form->get_header_value("Set-Cookie");
        cookie = cookie.substr(0, cookie.find(';'));
        httplib::Headers headers{{"Cookie", cookie}};
        auto res =
            c.Post(path.c_str(), headers,
                   "csrf=" + csrf_of(form->body) + "&password=" + password + "&again=" + password,
                   "application/x-www-form-urlencoded");
        return res ? Answer{res->status, res->body} : Answer{-1, ""};
    }
};

std::string metrics_of(const ServerProcess& server) {
    httplib::Client c("127.0.0.1", server.admin_port());
    auto res = c.Get("/metrics");
    return res ? res->body : "";
}

} // namespace

TEST(PasswordScreenTest, EachPlaceRefusesABreachedOrSimplePasswordAndLeavesTheRestAlone) {
    ScreenedServer screened;
    const ServerProcess& server = *screened.server;

    // Sign-up: each refusal, and the same code then still signs up.
    ASSERT_EQ(server.ask("cmd=9&emily=screen1@example.com").size(), 6u);
    const std::string signup = "cmd=2&u=screen01&q=screen1@example.com&p=";
    EXPECT_EQ(server.ask(signup + "leaked99"), kBreached);
    EXPECT_EQ(server.ask(signup + kHanGbk), kBreached) << "found by its UTF-8 form";
    EXPECT_EQ(server.ask(signup + "gbkonly!"), kBreached);
    EXPECT_EQ(server.ask(signup + kGbkListed), kBreached) << "found by its GBK bytes";
    EXPECT_EQ(server.ask(signup + "password"), kTooSimple) << "a dictionary word";
    EXPECT_EQ(server.ask(signup + "abcabc"), kTooSimple);
    for (int i = 0; i < 6; ++i)
        server.ask(signup + "leaked99"); // past the code's five attempts, were they counted
    EXPECT_EQ(server.ask(signup + kStrong), kSignUpOk) << "the code was not used up";

    // A change: refused before the old password is checked or counted.
    const std::string change = "cmd=3&u=screen01&p=" + kStrong + "&n=";
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(server.ask(change + "leaked99"), kBreached);
        EXPECT_EQ(server.ask(change + "qwerty12"), kTooSimple);
    }
    EXPECT_EQ(server.ask("cmd=3&u=screen01&p=wrongpw1&n=leaked99"), kBreached);
    EXPECT_EQ(server.sign_in("screen01", kStrong), kSignInOk) << "no lock, no change";
    EXPECT_EQ(server.ask(change + "Zx9!pLmq"), kChanged);

    // The recovery page: the texts in the page, the link still good afterwards.
    std::string out;
    ASSERT_EQ(run_server({"admin", "--db", server.db(), "--public-url", kPublic, "accounts",
                          "reset-link", "screen01"},
                         &out),
              0);
    LinkForm form{server, out.substr(kPublic.size(), out.find('\n') - kPublic.size()), ""};
    Answer a = form.set("leaked99");
    EXPECT_EQ(a.status, 400);
    EXPECT_TRUE(contains(a.body, kBreachedUtf8)) << a.body;
    a = form.set("%E5%AF%86%E7%A0%81%E5%AE%89%E5%85%A8"); // 密码安全 as the browser sends it
    EXPECT_TRUE(contains(a.body, kBreachedUtf8)) << a.body;
    a = form.set("password");
    EXPECT_EQ(a.status, 400);
    EXPECT_TRUE(contains(a.body, kTooSimpleUtf8)) << a.body;
    a = form.set("Kd8%24wqTn");
    EXPECT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(server.sign_in("screen01", "Kd8$wqTn"), kSignInOk);

    const std::string metrics = metrics_of(server);
    EXPECT_TRUE(contains(metrics, "tarnix_passwords_refused_total{reason=\"breached\"} 19"))
        << metrics;
    EXPECT_TRUE(contains(metrics, "tarnix_passwords_refused_total{reason=\"simple\"} 9"))
        << metrics;
}

TEST(PasswordScreenTest, SighupOpensTheCorpusRenamedOverTheOldOne) {
    ScreenedServer screened;
    const ServerProcess& server = *screened.server;
    // Without a code for this address a password that passes gets the code's answer,
    // and nothing is counted.
    const std::string probe = "cmd=2&u=screen02&q=nocode@example.com&p=";
    EXPECT_EQ(server.ask(probe + kLeakedStrong), kBreached);
    EXPECT_EQ(server.ask(probe + "Wq3#newleak"), kNoCode);

    write_file(screened.dir + "/next.txt", corpus_text({hash_of("Wq3#newleak")}));
    ASSERT_EQ(rename((screened.dir + "/next.txt").c_str(), (screened.dir + "/corpus.txt").c_str()),
              0);
    kill(server.pid(), SIGHUP);
    std::string answer;
    for (int i = 0; i < 100 && answer != kBreached; ++i) {
        usleep(50 * 1000);
        answer = server.ask(probe + "Wq3#newleak");
    }
    EXPECT_EQ(answer, kBreached);
    EXPECT_EQ(server.ask(probe + kLeakedStrong), kNoCode) << "no longer listed";

    // A corpus that cannot be opened keeps the one in use.
    write_file(screened.dir + "/next.txt", "not a corpus\n");
    ASSERT_EQ(rename((screened.dir + "/next.txt").c_str(), (screened.dir + "/corpus.txt").c_str()),
              0);
    kill(server.pid(), SIGHUP);
    for (int i = 0; i < 100 && !contains(read_file(server.log_path()), "kept the password screen");
         ++i)
        usleep(50 * 1000);
    EXPECT_TRUE(contains(read_file(server.log_path()), "kept the password screen in use"));
    EXPECT_EQ(server.ask(probe + "Wq3#newleak"), kBreached);
}

TEST(PasswordScreenTest, AServerDoesNotStartWithACorpusOrRulesItCannotUse) {
    const std::string dir = temp_dir();
    write_file(dir + "/words.txt", "password\n");
    write_file(dir + "/bad.conf", "nosuchsetting = 3\n");
    std::string err;
    EXPECT_EQ(run_server({"--port", "0", "--db", dir + "/a.db", "--outbox", dir + "/o.txt",
                          "--breached-passwords", dir + "/words.txt"},
                         nullptr, &err),
              2);
    EXPECT_TRUE(contains(err, "does not begin with a SHA1HEX:COUNT line")) << err;
    EXPECT_EQ(run_server({"--port", "0", "--db", dir + "/a.db", "--outbox", dir + "/o.txt",
                          "--password-quality-file", dir + "/bad.conf"},
                         nullptr, &err),
              2);
    EXPECT_TRUE(contains(err, "password-quality-file")) << err;
    std::filesystem::remove_all(dir);
}
