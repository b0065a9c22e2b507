// The store's body, rollouts: the live rollout every instance reads, and what the
// downloads of each version did.
#include "store/sql_store.h"

#include <utility>

namespace server {

using sql::bytes;
using sql::integer;
using sql::text;

namespace {

// The live rollout's row stays locked while an operator's command or a halt changes
// it (SQLite's transaction holds the whole file).
const char* const kLiveRollout[2] = {
    "SELECT id, version, file, signature, description, percent, state, halt_reason, started,"
    " changed FROM rollouts WHERE state IN (0, 1) ORDER BY id DESC LIMIT 1",
    "SELECT id, version, file, signature, description, percent, state, halt_reason, started,"
    " changed FROM rollouts WHERE state IN (0, 1) ORDER BY id DESC LIMIT 1 FOR UPDATE"};
const char* const kInstallRow[2] = {
    "SELECT file_bytes, signature, completed, repeated FROM rollout_installs"
    " WHERE version = ? AND install = ?",
    "SELECT file_bytes, signature, completed, repeated FROM rollout_installs"
    " WHERE version = ? AND install = ? FOR UPDATE"};
const char kReleased[] =
    "SELECT id, version, file, signature, description, percent, state, halt_reason, started,"
    " changed FROM rollouts WHERE state = 3 ORDER BY id DESC LIMIT 1";

Rollout rollout_from(SqlRows& row) {
    Rollout r;
    r.id = row.integer(0);
    r.version = row.text(1);
    r.file = row.text(2);
    r.signature = row.text(3);
    r.description = row.bytes(4);
    r.percent = row.integer(5);
    r.state = static_cast<RolloutState>(row.integer(6));
    r.halt_reason = row.text(7);
    r.started = row.integer(8);
    r.changed = row.integer(9);
    return r;
}

} // namespace

const char* rollout_state_name(RolloutState s) {
    switch (s) {
    case RolloutState::Running:
        return "running";
    case RolloutState::Paused:
        return "paused";
    case RolloutState::Pulled:
        return "pulled";
    case RolloutState::Finished:
        return "finished";
    }
    return "unknown";
}

std::optional<Rollout> SqlStore::find_live(SqlConnection& c, bool for_update) {
    auto row = c.query(for_update ? pick(kLiveRollout) : kLiveRollout[0]);
    if (!row->next())
        return std::nullopt;
    return rollout_from(*row);
}

bool SqlStore::start_rollout(Rollout& r) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    if (find_live(*c, true))
        return false;
    auto row = c->query("INSERT INTO rollouts (version, file, signature, description, percent,"
                        " state, halt_reason, started, changed) VALUES (?, ?, ?, ?, ?, ?, '', ?, ?)"
                        " RETURNING id",
                        {text(r.version), text(r.file), text(r.signature), bytes(r.description),
                         integer(r.percent), integer(static_cast<int64_t>(r.state)),
                         integer(r.started), integer(r.started)});
    row->next();
    r.id = row->integer(0);
    row.reset();
    tx.commit();
    return true;
}

std::optional<Rollout> SqlStore::live_rollout() {
    SqlLease c = db_->lease();
    return find_live(*c, false);
}

std::optional<Rollout> SqlStore::released_rollout() {
    SqlLease c = db_->lease();
    auto row = c->query(kReleased);
    if (!row->next())
        return std::nullopt;
    return rollout_from(*row);
}

std::optional<Rollout> SqlStore::change_rollout(const std::function<bool(Rollout&)>& change,
                                                int64_t now) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    std::optional<Rollout> r = find_live(*c, true);
    if (!r)
        return std::nullopt;
    Rollout changed = *r;
    if (!change(changed))
        return r;
    changed.changed = now;
    c->exec("UPDATE rollouts SET percent = ?, state = ?, halt_reason = ?, changed = ? WHERE id = ?",
            {integer(changed.percent), integer(static_cast<int64_t>(changed.state)),
             text(changed.halt_reason), integer(now), integer(changed.id)});
    tx.commit();
    return changed;
}

// The version's sums change in the transaction that changes an install's row.
void SqlStore::count_signal(SqlConnection& c, const std::string& version, const char* column) {
    c.exec("INSERT INTO rollout_signals (version) VALUES (?) ON CONFLICT (version) DO NOTHING",
           {text(version)});
    c.exec((std::string("UPDATE rollout_signals SET ") + column + " = " + column +
            " + 1 WHERE version = ?")
               .c_str(),
           {text(version)});
}

bool SqlStore::mark_offered(SqlConnection& c, const std::string& version,
                            const std::string& install, int64_t now) {
    // A row made before the install was offered (none is, now) has not been counted.
    if (c.exec("INSERT INTO rollout_installs (version, install, offered) VALUES (?, ?, ?)"
               " ON CONFLICT (version, install) DO UPDATE SET offered = excluded.offered"
               " WHERE rollout_installs.offered = 0",
               {text(version), text(install), integer(now)}) == 0)
        return false;
    count_signal(c, version, "offered");
    return true;
}

void SqlStore::record_offer(const std::string& version, const std::string& install, int64_t now) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    if (mark_offered(*c, version, install, now))
        tx.commit();
}

bool SqlStore::was_offered(const std::string& version, const std::string& install) {
    SqlLease c = db_->lease();
    auto row = c->query("SELECT 1 FROM rollout_installs WHERE version = ? AND install = ?"
                        " AND offered > 0",
                        {text(version), text(install)});
    return row->next();
}

RolloutSignals SqlStore::signals(SqlConnection& c, const std::string& version) {
    auto row = c.query("SELECT offered, complete, repeated FROM rollout_signals WHERE version = ?",
                       {text(version)});
    RolloutSignals s;
    if (row->next()) {
        s.offered = row->integer(0);
        s.complete = row->integer(1);
        s.repeated = row->integer(2);
    }
    return s;
}

RolloutSignals SqlStore::rollout_signals(const std::string& version) {
    SqlLease c = db_->lease();
    return signals(*c, version);
}

// A fetch is complete once the whole file (counted in the bytes of its answers, parts
// and retries alike) and the signature have been sent since it began.
FetchResult SqlStore::record_fetch(const Fetch& f) {
    SqlLease c = db_->lease();
    SqlTransaction tx(*c);
    // An install that fetches it was offered it, on a run that had no cookie yet.
    mark_offered(*c, f.version, f.install, f.now);
    int64_t file_bytes = 0, signature = 0, completed = 0, repeated = 0;
    {
        auto row = c->query(pick(kInstallRow), {text(f.version), text(f.install)});
        if (row->next()) {
            file_bytes = row->integer(0);
            signature = row->integer(1);
            completed = row->integer(2);
            repeated = row->integer(3);
        }
    }
    FetchResult result;
    if (f.from_start) {
        if (completed > 0 && f.now - completed < f.repeat_seconds && repeated == 0) {
            repeated = 1;
            result.repeated = true;
        }
        file_bytes = 0;
        signature = 0;
    }
    const bool was_complete = file_bytes >= f.file_size && signature != 0;
    file_bytes += f.signature ? 0 : f.bytes;
    signature = signature != 0 || f.signature ? 1 : 0;
    if (!was_complete && file_bytes >= f.file_size && f.file_size > 0 && signature != 0) {
        result.completed = completed == 0;
        completed = f.now;
    }
    c->exec("UPDATE rollout_installs SET file_bytes = ?, signature = ?, completed = ?,"
            " repeated = ? WHERE version = ? AND install = ?",
            {integer(file_bytes), integer(signature), integer(completed), integer(repeated),
             text(f.version), text(f.install)});
    if (result.completed)
        count_signal(*c, f.version, "complete");
    if (result.repeated)
        count_signal(*c, f.version, "repeated");
    result.signals = signals(*c, f.version);
    tx.commit();
    return result;
}

} // namespace server
