// The record of security events, in the store's one body (events.h says what it
// guarantees).
#include "store/sql_store.h"

namespace server {

using sql::bytes;
using sql::integer;
using sql::text;

namespace {

// PostgreSQL locks the head's row (instances append one at a time); SQLite's
// transaction already holds the whole file.
const char* const kChainForUpdate[2] = {
    "SELECT head_seq, head_mac, anchor_seq, anchor_mac FROM event_chain WHERE id = 1",
    "SELECT head_seq, head_mac, anchor_seq, anchor_mac FROM event_chain WHERE id = 1 FOR UPDATE"};

const char kRecordColumns[] =
    "SELECT seq, at, kind, account, client, instance, detail, mac FROM events";

EventRecord record_from(SqlRows& row) {
    EventRecord r;
    r.seq = row.integer(0);
    r.event.at = row.integer(1);
    r.event.kind = row.text(2);
    r.event.account = row.bytes(3);
    r.event.client = row.text(4);
    r.instance = row.text(5);
    r.event.detail = row.text(6);
    r.mac = row.bytes(7);
    return r;
}

EventChain chain_from(SqlRows& row) {
    EventChain c;
    c.head_seq = row.integer(0);
    c.head_mac = row.bytes(1);
    c.anchor_seq = row.integer(2);
    c.anchor_mac = row.bytes(3);
    return c;
}

} // namespace

EventChain SqlStore::lock_event_chain(SqlConnection& c) {
    auto rows = c.query(pick(kChainForUpdate));
    if (!rows->next())
        throw std::runtime_error("the event chain's head row is missing");
    return chain_from(*rows);
}

void SqlStore::append_locked(SqlConnection& c, EventChain& chain,
                             const std::vector<NewEvent>& events, const std::string& key,
                             const std::string& instance) {
    // Rows go in by kRowsPerInsert at a time: the batch holds the database's write lock
    // (SQLite: the one connection every request waits for) for less time.
    constexpr size_t kRowsPerInsert = 32;
    static const std::string many = [] {
        std::string sql =
            "INSERT INTO events (seq, at, kind, account, client, instance, detail, mac) VALUES ";
        for (size_t i = 0; i < kRowsPerInsert; ++i)
            sql += i ? ", (?, ?, ?, ?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?, ?, ?, ?)";
        return sql;
    }();
    const char* const one = "INSERT INTO events (seq, at, kind, account, client, instance,"
                            " detail, mac) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
    SqlParams params;
    for (size_t i = 0; i < events.size(); ++i) {
        const NewEvent& e = events[i];
        EventRecord r;
        r.seq = chain.head_seq + 1;
        r.event = e;
        r.instance = instance;
        r.mac = event_mac(key, chain.head_mac, r);
        params.insert(params.end(), {integer(r.seq), integer(e.at), text(e.kind), bytes(e.account),
                                     text(e.client), text(instance), text(e.detail), bytes(r.mac)});
        chain.head_seq = r.seq;
        chain.head_mac = r.mac;
        const size_t rows = params.size() / 8;
        const bool last = i + 1 == events.size();
        if (rows == kRowsPerInsert || (last && rows > 0)) {
            if (rows == kRowsPerInsert) {
                c.exec(many.c_str(), params);
            } else {
                for (size_t row = 0; row < rows; ++row)
                    c.exec(one, SqlParams(params.begin() + 8 * row, params.begin() + 8 * row + 8));
            }
            params.clear();
        }
    }
    c.exec("UPDATE event_chain SET head_seq = ?, head_mac = ? WHERE id = 1",
           {integer(chain.head_seq), bytes(chain.head_mac)});
}

void SqlStore::append_events(const std::vector<NewEvent>& events, const std::string& key,
                             const std::string& instance) {
    if (events.empty())
        return;
    SqlLease c = db_->lease();
    SqlTransaction t(*c);
    EventChain chain = lock_event_chain(*c);
    append_locked(*c, chain, events, key, instance);
    t.commit();
}

EventChain SqlStore::event_chain() {
    SqlLease c = db_->lease();
    auto rows =
        c->query("SELECT head_seq, head_mac, anchor_seq, anchor_mac FROM event_chain WHERE id = 1");
    if (!rows->next())
        throw std::runtime_error("the event chain's head row is missing");
    return chain_from(*rows);
}

std::vector<EventRecord> SqlStore::events_after(int64_t after, size_t limit) {
    SqlLease c = db_->lease();
    const std::string sql = std::string(kRecordColumns) + " WHERE seq > ? ORDER BY seq LIMIT ?";
    auto rows = c->query(sql.c_str(), {integer(after), integer(static_cast<int64_t>(limit))});
    std::vector<EventRecord> out;
    while (rows->next())
        out.push_back(record_from(*rows));
    return out;
}

std::vector<EventRecord> SqlStore::list_events(const std::optional<std::string>& account,
                                               int64_t since, size_t limit) {
    SqlLease c = db_->lease();
    std::string sql = std::string(kRecordColumns) + " WHERE at >= ?";
    SqlParams params = {integer(since)};
    if (account) {
        sql += " AND account = ?";
        params.push_back(bytes(*account));
    }
    sql += " ORDER BY seq DESC LIMIT ?";
    params.push_back(integer(static_cast<int64_t>(limit)));
    auto rows = c->query(sql.c_str(), params);
    std::vector<EventRecord> out;
    while (rows->next())
        out.push_back(record_from(*rows));
    return std::vector<EventRecord>(out.rbegin(), out.rend());
}

int64_t SqlStore::prune_events(int64_t before, int64_t now, const std::string& key,
                               const std::string& instance) {
    SqlLease c = db_->lease();
    SqlTransaction t(*c);
    EventChain chain = lock_event_chain(*c);
    auto last = c->query("SELECT seq, mac FROM events WHERE at < ? AND seq < ?"
                         " ORDER BY seq DESC LIMIT 1",
                         {integer(before), integer(chain.head_seq)});
    if (!last->next())
        return 0;
    const int64_t anchor_seq = last->integer(0);
    const std::string anchor_mac = last->bytes(1);
    last.reset();
    const int64_t removed = c->exec("DELETE FROM events WHERE seq <= ?", {integer(anchor_seq)});
    c->exec("UPDATE event_chain SET anchor_seq = ?, anchor_mac = ? WHERE id = 1",
            {integer(anchor_seq), bytes(anchor_mac)});
    chain.anchor_seq = anchor_seq;
    chain.anchor_mac = anchor_mac;
    NewEvent pruned;
    pruned.at = now;
    pruned.kind = event::kPruned;
    pruned.detail = pruned_detail(anchor_seq, anchor_mac);
    append_locked(*c, chain, {pruned}, key, instance);
    t.commit();
    return removed;
}

} // namespace server
