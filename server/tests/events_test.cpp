// The record of security events: what the protocol, the recovery page and the
// operator's commands leave in it; `admin events verify` finding an edited, a
// removed, a swapped and an inserted record, and records cut off the end; retention
// that keeps the chain verifiable; and two instances appending to one chain at once.
// The PostgreSQL run (with_postgres.sh) repeats each on a shared database.
#include "answers.h"
#include "app/configs.h"
#include "app/settings.h"
#include "server_process.h"
#include "store/events.h"
#include "store/store.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

using namespace server_test;

namespace {

std::string make_key(const std::string& dir) {
    const std::string path = dir + "/events.key";
    std::ofstream(path, std::ios::binary) << std::string(32, 'e');
    chmod(path.c_str(), 0600);
    return path;
}

std::string temp_dir() {
    char tmpl[] = "/tmp/tarnix-events-XXXXXX";
    return mkdtemp(tmpl);
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// `admin events ...` on the database; its exit code, stdout in `out`.
int events(const std::string& db, const std::string& key, std::vector<std::string> words,
           std::string* out) {
    std::vector<std::string> args = {"admin", "--db", db, "--events-key-file", key, "events"};
    args.insert(args.end(), words.begin(), words.end());
    std::string err;
    const int code = run_server(args, out, &err);
    // What went wrong, for the failure's message; a database's notices otherwise not.
    if (out && code != 0)
        *out += err;
    return code;
}

// Waits until the record holds at least `n` records (the server writes them on a
// thread of its own); the listing.
std::string wait_for_records(const std::string& db, const std::string& key, size_t n) {
    std::string out;
    for (int i = 0; i < 100; ++i) {
        out.clear();
        events(db, key, {"list"}, &out);
        if (static_cast<size_t>(std::count(out.begin(), out.end(), '\n')) >= n)
            break;
        usleep(50 * 1000);
    }
    return out;
}

// Posts a recovery page's form as a browser does: its page first, for the form's
// cookie and token; the status of the answer.
int post_form(const ServerProcess& server, const std::string& path, const std::string& fields) {
    httplib::Client c("127.0.0.1", server.port());
    auto page = c.Get(path.c_str());
    if (!page)
        return -1;
    std::smatch m;
    if (!std::regex_search(page->body, m, std::regex("name=\"csrf\" value=\"([^\"]*)\"")))
        return -1;
    std::string cookie = page->get_header_value("Set-Cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    auto res = c.Post(path.c_str(), httplib::Headers{{"Cookie", cookie}},
                      "csrf=" + m[1].str() + "&" + fields, "application/x-www-form-urlencoded");
    return res ? res->status : -1;
}

} // namespace

TEST(EventsTest, EachKindOfEventIsKeptWithoutSecretsAndListedByAccountAndTime) {
    const std::string dir = temp_dir();
    const std::string key = make_key(dir);
    ServerProcess server({"--events-key-file", key, "--public-url", "http://tarnix.example"});
    ASSERT_EQ(server.ask("cmd=9&emily=ev1@example.com").size(), 6u);
    ASSERT_EQ(server.ask("cmd=2&u=events01&p=Secret991&q=ev1@example.com"), kSignUpOk);
    ASSERT_EQ(server.sign_in("events01", "Secret991"), kSignInOk);
    for (int i = 0; i < 5; ++i)
        server.sign_in("events01", "wrong991");
    ASSERT_EQ(server.ask("cmd=3&u=events01&p=Secret991&n=Secret992"), kLocked);
    ASSERT_EQ(run_server({"admin", "--db", server.db(), "--events-key-file", key, "accounts",
                          "unlock", "events01"}),
              0);
    ASSERT_EQ(server.ask("cmd=3&u=events01&p=Secret991&n=Secret992"), kChanged);
    ASSERT_EQ(run_server({"admin", "--db", server.db(), "--events-key-file", key, "accounts",
                          "forget-devices", "events01"}),
              0);
    std::string out = wait_for_records(server.db(), key, 11);
    for (const char* kind : {"\tsign-up\tevents01\t127.0.0.1", "\tsign-in\tevents01\t127.0.0.1",
                             "\tsign-in-failed\tevents01", "\taccount-locked\tevents01",
                             "\tpassword-changed\tevents01", "\tadmin\tevents01\tadmin:",
                             "accounts unlock: done", "\tdevices-forgotten\tevents01"})
        EXPECT_TRUE(contains(out, kind)) << kind << "\n" << out;
    for (const char* secret : {"Secret991", "Secret992", "wrong991", "ev1@example.com"})
        EXPECT_FALSE(contains(out, secret)) << secret;

    // The recovery page's request and the password set through a link.
    EXPECT_EQ(post_form(server, "/account/reset", "account=events01&email=ev1%40example.com"), 200);
    std::string link;
    ASSERT_EQ(run_server({"admin", "--db", server.db(), "--events-key-file", key, "--public-url",
                          "http://tarnix.example", "accounts", "reset-link", "events01"},
                         &link),
              0);
    const std::string path = link.substr(21, link.find('\n') - 21);
    EXPECT_EQ(post_form(server, path, "password=Secret993&again=Secret993"), 200);
    out = wait_for_records(server.db(), key, 14);
    for (const char* kind :
         {"\trecovery-requested\tevents01\t127.0.0.1", "accounts reset-link: done",
          "\trecovery-completed\tevents01\t127.0.0.1"})
        EXPECT_TRUE(contains(out, kind)) << kind << "\n" << out;
    EXPECT_FALSE(contains(out, path.substr(15))) << "no token";
    ASSERT_EQ(events(server.db(), key, {"list", "--account", "nobody99"}, &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(
        events(server.db(), key, {"list", "--account", "events01", "--since", "2000-01-01"}, &out),
        0);
    EXPECT_TRUE(contains(out, "sign-up")) << out;
    ASSERT_EQ(events(server.db(), key, {"list", "--since", "2999-01-01"}, &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(events(server.db(), key, {"list", "--since", "yesterday"}, &out), 2);
    ASSERT_EQ(events(server.db(), key, {"verify"}, &out), 0) << out;
    EXPECT_TRUE(contains(out, "ok: ")) << out;
    std::filesystem::remove_all(dir);
}

// Each change an intruder without the key could make, made to the stored rows of a
// chain two instances wrote, then undone: verify finds each, and the whole chain
// again once it is undone.
TEST(EventsTest, VerifyFindsAnEditedRemovedSwappedOrInsertedRecord) {
    const std::string dir = temp_dir();
    const std::string key = make_key(dir);
    const std::string db = test_postgres() ? fresh_database() : dir + "/shared.db";
    ServerProcess one({"--db", db, "--events-key-file", key, "--instance-name", "one"});
    ServerProcess two({"--db", db, "--events-key-file", key, "--instance-name", "two"});
    ASSERT_EQ(one.ask("cmd=9&emily=ev2@example.com").size(), 6u);
    ASSERT_EQ(two.ask("cmd=2&u=events02&p=Secret991&q=ev2@example.com"), kSignUpOk);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ((i % 2 ? one : two).sign_in("events02", i % 3 ? "Secret991" : "wrong991"),
                  i % 3 ? kSignInOk : kWrong);
    const std::string listed = wait_for_records(db, key, 7);
    ASSERT_TRUE(contains(listed, "\tone\t") && contains(listed, "\ttwo\t")) << listed;
    std::string out;
    ASSERT_EQ(events(db, key, {"verify"}, &out), 0) << out;
    run_sql_on(db, "CREATE TABLE events_kept AS SELECT * FROM events");
    run_sql_on(db, "CREATE TABLE chain_kept AS SELECT * FROM event_chain");
    const std::string undo = "DELETE FROM events; INSERT INTO events SELECT * FROM events_kept;"
                             "DELETE FROM event_chain; INSERT INTO event_chain SELECT * FROM "
                             "chain_kept";
    struct Case {
        const char* name;
        std::string sql;
        const char* finding;
    };
    const std::vector<Case> cases = {
        {"edited", "UPDATE events SET client = '10.9.9.9' WHERE seq = 3",
         "record 3 does not match its MAC"},
        {"removed", "DELETE FROM events WHERE seq = 3", "record 3 is missing"},
        {"swapped",
         "UPDATE events SET seq = -2 WHERE seq = 2; UPDATE events SET seq = 2 WHERE seq = 3;"
         " UPDATE events SET seq = 3 WHERE seq = -2",
         "record 2 does not match its MAC"},
        {"inserted in the middle",
         "UPDATE events SET seq = seq + 1000 WHERE seq >= 3;"
         " UPDATE events SET seq = seq - 999 WHERE seq >= 1000;"
         " INSERT INTO events SELECT 3, at, kind, account, '10.9.9.9', instance, detail, mac"
         " FROM events WHERE seq = 2;"
         " UPDATE event_chain SET head_seq = head_seq + 1",
         "record 3 does not match its MAC"},
        {"appended with the head moved",
         "INSERT INTO events SELECT seq + 1, at, kind, account, client, instance, detail, mac"
         " FROM events WHERE seq = (SELECT head_seq FROM event_chain);"
         " UPDATE event_chain SET head_seq = head_seq + 1",
         "does not match its MAC"},
        {"cut off the end", "DELETE FROM events WHERE seq = (SELECT head_seq FROM event_chain)",
         "records removed from the end"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run_sql_on(db, c.sql);
        EXPECT_EQ(events(db, key, {"verify"}, &out), 1) << out;
        EXPECT_TRUE(contains(out, c.finding)) << out;
        EXPECT_TRUE(contains(out, "broken: ")) << out;
        run_sql_on(db, undo);
        ASSERT_EQ(events(db, key, {"verify"}, &out), 0) << out;
    }
    // Another key cannot vouch for the chain.
    std::ofstream(dir + "/other.key", std::ios::binary) << std::string(32, 'x');
    chmod((dir + "/other.key").c_str(), 0600);
    EXPECT_EQ(events(db, dir + "/other.key", {"verify"}, &out), 1);
    std::filesystem::remove_all(dir);
}

// Records older than the retention go; the chain verifies from its anchor, and an
// anchor moved on by hand (records cut off the start) is found.
TEST(EventsTest, RetentionRemovesOldRecordsAndTheChainStillVerifies) {
    const std::string dir = temp_dir();
    const std::string key_text(32, 'e');
    server::StoreConfig config = server::store_config(server::default_settings());
    config.where = test_postgres() ? fresh_database() : dir + "/a.db";
    config.pool_size = 1;
    std::string error;
    auto store = server::Store::open(config, error);
    ASSERT_TRUE(store) << error;
    const int64_t now = 2000000000;
    std::vector<server::NewEvent> batch;
    // 70: two INSERTs of 32 rows and 6 of one.
    for (int i = 0; i < 70; ++i)
        batch.push_back(server::NewEvent{now - (70 - i) * 86400, server::event::kSignIn,
                                         "acct" + std::to_string(i), "192.0.2.1", "new device"});
    store->append_events(batch, key_text, "a");
    EXPECT_EQ(store->prune_events(now - 10 * 86400, now, key_text, "a"), 60);
    auto verify = [&] {
        const server::EventChain chain = store->event_chain();
        server::EventVerifier v(key_text, chain);
        for (const server::EventRecord& r : store->events_after(INT64_MIN, 1000))
            v.next(r);
        return v.finish();
    };
    std::vector<std::string> problems = verify();
    EXPECT_TRUE(problems.empty()) << problems.front();
    const server::EventChain chain = store->event_chain();
    EXPECT_EQ(chain.anchor_seq, 60);
    EXPECT_EQ(chain.head_seq, 71) << "the pruned record follows";
    store->append_events({server::NewEvent{now, server::event::kSignUp, "late", "", ""}}, key_text,
                         "b");
    EXPECT_TRUE(verify().empty());
    EXPECT_EQ(store->prune_events(now + 100 * 86400, now, key_text, "a"), 11) << "all but the last";
    problems = verify();
    EXPECT_TRUE(problems.empty()) << problems.front();

    // Moving the anchor on by hand, past records removed with it.
    const std::string db = config.where;
    store.reset();
    run_sql_on(db, "DELETE FROM events WHERE seq = (SELECT MIN(seq) FROM events);"
                   " UPDATE event_chain SET anchor_seq = anchor_seq + 1");
    store = server::Store::open(config, error);
    ASSERT_TRUE(store) << error;
    problems = verify();
    ASSERT_FALSE(problems.empty());
    std::filesystem::remove_all(dir);
}

// Two servers on one database signing in at once: one chain, in one order, written
// by both.
TEST(EventsTest, TwoInstancesAppendToOneChain) {
    const std::string dir = temp_dir();
    const std::string key = make_key(dir);
    const std::string db = test_postgres() ? fresh_database() : dir + "/shared.db";
    ServerProcess a({"--db", db, "--events-key-file", key, "--instance-name", "one"});
    ServerProcess b({"--db", db, "--events-key-file", key, "--instance-name", "two"});
    ASSERT_EQ(a.ask("cmd=9&emily=ev3@example.com").size(), 6u);
    ASSERT_EQ(a.ask("cmd=2&u=events03&p=Secret991&q=ev3@example.com"), kSignUpOk);
    // Clients without a cookie share the account's challenges, so one may take
    // another's; each answer but "no challenge" is an event.
    std::atomic<int> answered{1};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t)
        clients.emplace_back([&, t] {
            const ServerProcess& s = t % 2 ? b : a;
            for (int i = 0; i < 10; ++i)
                answered += s.sign_in("events03", i % 3 ? "Secret991" : "wrong991") != kNoChallenge;
        });
    for (std::thread& c : clients)
        c.join();
    const int expected = answered.load();
    ASSERT_GT(expected, 10);
    std::string out = wait_for_records(db, key, static_cast<size_t>(expected));
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), expected) << out;
    EXPECT_TRUE(contains(out, "\tone\t")) << out;
    EXPECT_TRUE(contains(out, "\ttwo\t")) << out;
    ASSERT_EQ(events(db, key, {"verify"}, &out), 0) << out;
    EXPECT_TRUE(contains(out, "ok: " + std::to_string(expected) + " records checked")) << out;
    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
    std::filesystem::remove_all(dir);
}
