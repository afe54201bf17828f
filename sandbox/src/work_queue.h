// The library's one pattern for delivering from a thread of its own: a FIFO
// of items served by one long-lived worker thread, which runs the handler
// holding no lock of the queue's (a handler may call into Python, whose lock
// the thread that pushes may hold). Used by the broker's streams and by
// scripted mode's posted events.
//
// A handler may block for as long as its receiver likes (a consumer that
// never reads). Nothing of the library waits on it for ever:
// - items carry a key (a subscription); a key being handled on one thread
//   holds back only that key's later items, others go on around it;
// - retire() (a world ends) lets the queue go with its worker, waited for by
//   nobody; the next world has a queue of its own;
// - retire_host() takes the queue from a host that must not be waited for
//   (a runner being stopped while its receiver blocks);
// - the backlog is bounded for mergeable items (market pictures): once
//   `backlog` items wait, a new one whose key already has one waiting
//   replaces the newest of them instead of queueing.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tvx::sandbox {

// A map of a few entries (threads or keys in progress at once) kept in a
// vector: no allocation per item handled once it has grown.
template <class K, class V>
class FewMap {
   public:
    using Entries = std::vector<std::pair<K, V>>;
    using iterator = typename Entries::iterator;
    iterator begin() { return e_.begin(); }
    iterator end() { return e_.end(); }
    bool empty() const { return e_.empty(); }
    std::size_t size() const { return e_.size(); }
    void clear() { e_.clear(); }
    iterator find(const K& k) {
        for (auto it = e_.begin(); it != e_.end(); ++it)
            if (it->first == k) return it;
        return e_.end();
    }
    std::size_t count(const K& k) { return find(k) != e_.end() ? 1 : 0; }
    V& operator[](const K& k) {
        auto it = find(k);
        if (it != e_.end()) return it->second;
        e_.emplace_back(k, V{});
        return e_.back().second;
    }
    void erase(iterator it) {
        *it = std::move(e_.back());
        e_.pop_back();
    }
    void erase(const K& k) {
        auto it = find(k);
        if (it != e_.end()) erase(it);
    }

   private:
    Entries e_;
};

template <class Item>
class WorkQueue {
   public:
    using Key = std::uint64_t;  // 0: an item of no key
    struct Policy {
        std::function<Key(const Item&)> key;
        std::function<bool(const Item&)> mergeable;
        std::size_t backlog = 0;  // items waiting from which mergeable ones merge (0: never)
    };

    explicit WorkQueue(std::function<void(Item&)> handler, Policy policy = {})
        : handler_(std::move(handler)), policy_(std::move(policy)) {}
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void push(Item item) {
        std::lock_guard<std::mutex> g(m_);
        add_locked(std::move(item));
        start_locked();
    }
    void push_all(std::vector<Item> items) {
        if (items.empty()) return;
        std::lock_guard<std::mutex> g(m_);
        for (Item& i : items) add_locked(std::move(i));
        start_locked();
    }

    // Waits until everything pushed so far has been handled; false on timeout.
    // On the thread handling items (the worker, or a host) it cannot wait for
    // itself and says at once whether nothing else is pending.
    bool drain(int timeout_ms) {
        std::unique_lock<std::mutex> lk(m_);
        const auto me = std::this_thread::get_id();
        if (me == thread_ || me == host_) return queue_.empty();
        auto quiet = [&] { return queue_.empty() && handling_.empty(); };
        if (timeout_ms < 0) {
            idle_.wait(lk, quiet);
            return true;
        }
        return idle_.wait_for(lk, std::chrono::milliseconds(timeout_ms), quiet);
    }

    // Hosting: between host() and unhost() the calling thread handles items
    // itself (run_here) and the worker stands aside. A replay step delivers
    // its events and sees its receivers return before it goes on, with no
    // hand-over between threads per event. Nested on the same thread (a
    // handler stepping again), and on the worker itself, it just goes on.
    // A worker's item in progress is waited for, but not for ever: a
    // receiver that blocks (its consumer may be this very thread) is given up
    // on after `patience`, and only its key's items wait behind it.
    void host() {
        std::unique_lock<std::mutex> lk(m_);
        const auto me = std::this_thread::get_id();
        if (host_ == me) {
            ++host_depth_;
            return;
        }
        if (thread_ == me) return;
        host_waiting_ = true;
        idle_.wait(lk, [&] { return host_ == std::thread::id(); });
        auto worker_free = [&] { return thread_ == std::thread::id() || handling_.count(thread_) == 0; };
        if (!worker_free() && worker_item_ != given_up_ &&
            !idle_.wait_for(lk, kPatience, [&] { return worker_free() || host_ != std::thread::id(); }))
            given_up_ = worker_item_;
        idle_.wait(lk, [&] { return host_ == std::thread::id(); });
        host_waiting_ = false;
        host_ = me;
        host_depth_ = 1;
    }
    void unhost() {
        std::lock_guard<std::mutex> g(m_);
        if (host_ != std::this_thread::get_id() || --host_depth_ > 0) return;
        host_ = std::thread::id();
        idle_.notify_all();
        if (!queue_.empty() || retiring_) wake_.notify_one();
    }
    // Handles everything queued, and what handlers queue meanwhile, in order
    // (while hosting). Returns early when this thread stops being the host.
    void run_here() {
        std::unique_lock<std::mutex> lk(m_);
        const auto me = std::this_thread::get_id();
        while (host_ == me || thread_ == me) {
            auto it = eligible(me);
            if (it == queue_.end() || !handle(lk, it)) return;
        }
    }

    // Drops what is queued; items being handled finish.
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        drop_locked();
        idle_.notify_all();
    }

    // Lets the queue go with its world: the worker hands on what is queued,
    // then ends and takes the queue with it. Nobody waits for it (the caller
    // may be a handler on that very worker). Threads left behind in a
    // handler keep the queue for good (it is leaked rather than freed under them).
    static void retire(std::shared_ptr<WorkQueue> q) {
        if (!q) return;
        std::lock_guard<std::mutex> g(q->m_);
        if (!q->started_ && q->queue_.empty() && q->handling_.empty()) return;  // it goes with its last owner
        q->retiring_ = true;
        WorkQueue* self = q.get();
        self->self_ = std::move(q);
        self->start_locked();
        self->wake_.notify_all();
    }

    // Stops `t` hosting at once, whatever it is handling (a runner being
    // stopped while its receiver blocks): the worker takes the queue over;
    // the item in progress still holds back its key's later items.
    void retire_host(std::thread::id t) {
        std::lock_guard<std::mutex> g(m_);
        if (host_ != t || t == std::thread::id()) return;
        host_ = std::thread::id();
        host_depth_ = 0;
        handling_.erase(t);
        idle_.notify_all();
        if (!queue_.empty()) wake_.notify_one();
    }

    std::size_t pending() {
        std::lock_guard<std::mutex> g(m_);
        return queue_.size() + handling_.size();
    }
    std::uint64_t handled() {
        std::lock_guard<std::mutex> g(m_);
        return handled_;
    }
    std::uint64_t merged() {
        std::lock_guard<std::mutex> g(m_);
        return merged_;
    }
    bool on_worker() {
        std::lock_guard<std::mutex> g(m_);
        return std::this_thread::get_id() == thread_;
    }

    // Fork support: the forking thread holds the queue's lock across fork();
    // in the child no worker exists, so the queue starts over empty.
    void lock_for_fork() { m_.lock(); }
    void unlock_in_parent() { m_.unlock(); }
    void reset_in_child() {
        drop_locked();
        inflight_.clear();
        handling_.clear();
        started_ = false;
        host_waiting_ = false;
        host_depth_ = 0;
        thread_ = host_ = std::thread::id();
        // The parent's waiters are not in the child; a condition variable
        // still counting them can block the child's first notify.
        new (&wake_) std::condition_variable;
        new (&idle_) std::condition_variable;
        m_.unlock();
    }

   private:
    static constexpr std::chrono::milliseconds kPatience{200};

    struct Entry {
        Item item;
        Key key;
        bool mergeable;
    };
    using Queue = std::list<Entry>;  // entries stay put: a merge writes into a waiting one
    struct Waiting {
        std::size_t count = 0;  // mergeable entries of the key waiting
        typename Queue::iterator newest;
    };
    struct InFlight {
        std::thread::id thread;
        std::uint64_t handling;  // the handling of that thread it belongs to
        int depth;
    };
    struct Handling {
        std::uint64_t id;
        int depth;
    };

    void add_locked(Item item) {
        const Key k = policy_.key ? policy_.key(item) : 0;
        const bool m = k != 0 && policy_.backlog > 0 && policy_.mergeable && policy_.mergeable(item);
        if (m && queue_.size() >= policy_.backlog) {
            auto w = waiting_.find(k);
            if (w != waiting_.end()) {
                w->second.newest->item = std::move(item);
                ++merged_;
                return;
            }
        }
        queue_.push_back(Entry{std::move(item), k, m});
        if (m) {
            Waiting& w = waiting_[k];
            ++w.count;
            w.newest = std::prev(queue_.end());
        }
    }

    void drop_locked() {
        queue_.clear();
        waiting_.clear();
    }

    void start_locked() {
        if (!started_) {
            started_ = true;
            std::thread t([this] { loop(); });
            thread_ = t.get_id();
            t.detach();
        }
        // A host handles what is pushed meanwhile; waking the worker for it
        // would only cost a context switch per item.
        if (host_ == std::thread::id()) wake_.notify_one();
    }

    // The oldest entry `me` may handle: its key is not in progress on another thread.
    typename Queue::iterator eligible(std::thread::id me) {
        if (inflight_.empty()) return queue_.begin();
        for (auto it = queue_.begin(); it != queue_.end(); ++it) {
            if (it->key == 0) return it;
            auto f = inflight_.find(it->key);
            if (f == inflight_.end() || f->second.thread == me) return it;
        }
        return queue_.end();
    }

    // Takes the entry and handles it without the lock held (`lk` holds it
    // before and after). False when this thread was left behind meanwhile.
    bool handle(std::unique_lock<std::mutex>& lk, typename Queue::iterator it) {
        Entry e = std::move(*it);
        queue_.erase(it);
        if (e.mergeable) {
            auto w = waiting_.find(e.key);
            if (w != waiting_.end() && --w->second.count == 0) waiting_.erase(w);
        }
        const auto me = std::this_thread::get_id();
        Handling& h = handling_[me];
        if (h.depth++ == 0) h.id = ++handlings_;
        const std::uint64_t id = h.id;
        if (me == thread_) worker_item_ = id;
        if (e.key) {
            InFlight& f = inflight_[e.key];
            if (f.depth == 0) f = InFlight{me, id, 0};
            ++f.depth;
        }
        lk.unlock();
        handler_(e.item);
        e.item = Item();
        lk.lock();
        if (e.key) {
            auto f = inflight_.find(e.key);
            if (f != inflight_.end() && f->second.thread == me && f->second.handling == id && --f->second.depth == 0)
                inflight_.erase(f);
        }
        auto mine = handling_.find(me);
        const bool current = mine != handling_.end() && mine->second.id == id;
        if (current) {
            if (--mine->second.depth == 0) handling_.erase(mine);
            ++handled_;
        }
        if (handling_.empty() || host_waiting_) idle_.notify_all();
        // A key let free may have let items through for the worker.
        if (!queue_.empty() && host_ == std::thread::id() && me != thread_) wake_.notify_one();
        if (retiring_ && handling_.empty()) wake_.notify_all();  // a retired worker may end now
        return current;
    }

    void loop() {
        std::shared_ptr<WorkQueue> last;  // a retired queue's own keep, released after the lock below
        std::unique_lock<std::mutex> lk(m_);
        const auto me = std::this_thread::get_id();
        for (;;) {
            typename Queue::iterator it;
            bool over = false;
            wake_.wait(lk, [&] {
                if (thread_ != me) return true;
                if (host_ != std::thread::id()) return false;
                it = eligible(me);
                over = retiring_ && queue_.empty() && handling_.empty();
                return it != queue_.end() || over;
            });
            if (over && thread_ == me) {
                last = std::move(self_);
                idle_.notify_all();
                return;
            }
            if (thread_ != me || !handle(lk, it) || thread_ != me) return;  // left behind: a fresh worker serves
        }
    }

    std::function<void(Item&)> handler_;
    Policy policy_;
    std::mutex m_;
    std::condition_variable wake_, idle_;
    Queue queue_;
    std::unordered_map<Key, Waiting> waiting_;
    FewMap<Key, InFlight> inflight_;              // keys being handled, and by whom
    FewMap<std::thread::id, Handling> handling_;  // threads handling an item now (not left behind)
    bool started_ = false, host_waiting_ = false, retiring_ = false;
    std::shared_ptr<WorkQueue> self_;  // a retired queue keeps itself until its worker ends
    int host_depth_ = 0;
    std::thread::id host_;  // a thread handling items itself (run_here)
    std::uint64_t handled_ = 0, merged_ = 0, handlings_ = 0, worker_item_ = 0, given_up_ = 0;
    std::thread::id thread_;
};

}  // namespace tvx::sandbox
