// The sender's cache of connections to other processes' nodes, one per addressee. Bounded: a
// connection idle too long, one whose node has gone and the least recently used one beyond the
// limit are closed; a node whose connection was dropped for a write that did not finish in time
// is not written to again for a while. Portable: the connection is any movable type that tests
// as true while open; its destructor closes it. Times are milliseconds of a monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kavipc {

template <typename Conn> class ConnectionCache {
public:
    struct Entry {
        std::mutex mu; // held while the connection is written to
        Conn conn{};
    };

    ConnectionCache(size_t max_entries, uint64_t idle_ms, uint64_t penalty_ms)
        : max_(max_entries ? max_entries : 1), idle_ms_(idle_ms), penalty_ms_(penalty_ms) {}

    // The entry for `key` (made when there is none), or null while the node is penalised.
    // Connections pushed out to keep the bound are handed to `closed` (outside the lock).
    std::shared_ptr<Entry> Acquire(const std::string& key, uint64_t now) {
        std::vector<std::shared_ptr<Entry>> out;
        std::shared_ptr<Entry> e;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto p = penalised_.find(key);
            if (p != penalised_.end()) {
                if (now < p->second) return nullptr;
                penalised_.erase(p);
            }
            Slot& s = slots_[key];
            if (!s.entry) s.entry = std::make_shared<Entry>();
            s.last_used = now;
            e = s.entry;
            TrimLocked(now, nullptr, out);
        }
        return e;
    }

    // After a use: `ok` false drops the connection (it broke); `penalise` also bars the node
    // for the penalty time (a write that did not finish in time).
    void Done(const std::string& key, const std::shared_ptr<Entry>& e, uint64_t now, bool ok,
              bool penalise = false) {
        std::shared_ptr<Entry> drop;
        std::lock_guard<std::mutex> lock(mu_);
        auto it = slots_.find(key);
        if (it == slots_.end() || it->second.entry != e) return;
        it->second.last_used = now;
        if (ok) return;
        if (penalise) penalised_[key] = now + penalty_ms_;
        drop = std::move(it->second.entry);
        slots_.erase(it);
    }

    // Closes idle connections, those `alive` says are gone, and the oldest beyond the bound.
    // Entries in use are left alone. Answers how many were closed.
    size_t Sweep(uint64_t now, const std::function<bool(Conn&)>& alive = nullptr) {
        std::vector<std::shared_ptr<Entry>> out;
        {
            std::lock_guard<std::mutex> lock(mu_);
            TrimLocked(now, &alive, out);
            for (auto p = penalised_.begin(); p != penalised_.end();)
                p = now >= p->second ? penalised_.erase(p) : std::next(p);
        }
        return out.size(); // closed here, outside the lock
    }

    void Clear() {
        std::map<std::string, Slot> slots;
        std::lock_guard<std::mutex> lock(mu_);
        slots.swap(slots_);
        penalised_.clear();
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(mu_);
        return slots_.size();
    }
    bool Penalised(const std::string& key, uint64_t now) const {
        std::lock_guard<std::mutex> lock(mu_);
        auto p = penalised_.find(key);
        return p != penalised_.end() && now < p->second;
    }

private:
    struct Slot {
        std::shared_ptr<Entry> entry;
        uint64_t last_used = 0;
    };

    // An entry someone else holds is in use: only the map and a caller of Acquire share it.
    static bool InUse(const Slot& s) { return s.entry.use_count() > 1; }

    void TrimLocked(uint64_t now, const std::function<bool(Conn&)>* alive,
                    std::vector<std::shared_ptr<Entry>>& out) {
        for (auto it = slots_.begin(); it != slots_.end();) {
            Slot& s = it->second;
            bool idle = now >= s.last_used && now - s.last_used >= idle_ms_;
            bool gone = false;
            if (!InUse(s) && alive != nullptr && *alive) {
                std::unique_lock<std::mutex> held(s.entry->mu, std::try_to_lock);
                gone = held.owns_lock() && (!s.entry->conn || !(*alive)(s.entry->conn));
            }
            if (!InUse(s) && (idle || gone)) {
                out.push_back(std::move(s.entry));
                it = slots_.erase(it);
            } else {
                ++it;
            }
        }
        while (slots_.size() > max_) {
            auto oldest = slots_.end();
            for (auto it = slots_.begin(); it != slots_.end(); ++it) {
                if (InUse(it->second)) continue;
                if (oldest == slots_.end() || it->second.last_used < oldest->second.last_used)
                    oldest = it;
            }
            if (oldest == slots_.end()) break; // all in use: the bound waits for them
            out.push_back(std::move(oldest->second.entry));
            slots_.erase(oldest);
        }
    }

    const size_t max_;
    const uint64_t idle_ms_;
    const uint64_t penalty_ms_;
    mutable std::mutex mu_;
    std::map<std::string, Slot> slots_;
    std::map<std::string, uint64_t> penalised_;
};

} // namespace kavipc
