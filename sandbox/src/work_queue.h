// The library's one pattern for delivering from a thread of its own: a FIFO
// of items served by one long-lived worker thread, which runs the handler
// holding no lock of the queue's (a handler may call into Python, whose lock
// the thread that pushes may hold). Used by the broker's streams and by
// scripted mode's posted events.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace tvx::sandbox {

template <class Item>
class WorkQueue {
   public:
    explicit WorkQueue(std::function<void(Item&)> handler) : handler_(std::move(handler)) {}
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    void push(Item item) {
        std::lock_guard<std::mutex> g(m_);
        queue_.push_back(std::move(item));
        start_locked();
    }
    void push_all(std::vector<Item> items) {
        if (items.empty()) return;
        std::lock_guard<std::mutex> g(m_);
        for (Item& i : items) queue_.push_back(std::move(i));
        start_locked();
    }

    // Waits until everything pushed so far has been handled; false on timeout.
    // On the worker itself (a handler asking) it cannot wait for itself and
    // says only whether nothing else is pending.
    bool drain(int timeout_ms) {
        std::unique_lock<std::mutex> lk(m_);
        auto quiet = [&] { return queue_.empty() && !busy_; };
        if (std::this_thread::get_id() == thread_) return queue_.empty();
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
    void host() {
        std::unique_lock<std::mutex> lk(m_);
        const auto me = std::this_thread::get_id();
        if (host_ == me || thread_ == me) {
            ++host_depth_;
            return;
        }
        host_waiting_ = true;
        idle_.wait(lk, [&] { return host_ == std::thread::id() && !busy_; });
        host_waiting_ = false;
        host_ = me;
        host_depth_ = 1;
    }
    void unhost() {
        std::lock_guard<std::mutex> g(m_);
        if (--host_depth_ > 0 || host_ != std::this_thread::get_id()) return;
        host_ = std::thread::id();
        idle_.notify_all();
        if (!queue_.empty() || retiring_) wake_.notify_one();
    }
    // Handles everything queued, and what handlers queue meanwhile, in order
    // (while hosting).
    void run_here() {
        std::unique_lock<std::mutex> lk(m_);
        while (!queue_.empty()) handle_front(lk);
    }

    // Drops what is queued; an item being handled finishes.
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        queue_.clear();
        if (!busy_) idle_.notify_all();
    }

    std::size_t pending() {
        std::lock_guard<std::mutex> g(m_);
        return queue_.size() + (busy_ ? 1 : 0);
    }
    std::uint64_t handled() {
        std::lock_guard<std::mutex> g(m_);
        return handled_;
    }
    bool on_worker() {
        std::lock_guard<std::mutex> g(m_);
        return std::this_thread::get_id() == thread_;
    }

    // Lets the queue go: the worker hands on what is queued, then ends and
    // takes the queue with it. Nobody waits for it (the caller may be a
    // handler on that very worker).
    static void retire(std::shared_ptr<WorkQueue> q) {
        if (!q) return;
        std::lock_guard<std::mutex> g(q->m_);
        if (!q->started_ && q->queue_.empty()) return;  // no worker: it goes with the last owner
        q->retiring_ = true;
        WorkQueue* self = q.get();
        self->self_ = std::move(q);
        self->start_locked();
        self->wake_.notify_one();
    }

    // Fork support: the forking thread holds the queue's lock across fork();
    // in the child no worker exists, so the queue starts over empty.
    void lock_for_fork() { m_.lock(); }
    void unlock_in_parent() { m_.unlock(); }
    void reset_in_child() {
        queue_.clear();
        busy_ = false;
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

    // Takes the oldest item and handles it without the lock held (`lk` holds
    // it before and after). Busy meanwhile; a nested handling restores it.
    void handle_front(std::unique_lock<std::mutex>& lk) {
        Item item = std::move(queue_.front());
        queue_.pop_front();
        const bool was_busy = busy_;
        busy_ = true;
        lk.unlock();
        handler_(item);
        item = Item();
        lk.lock();
        busy_ = was_busy;
        ++handled_;
    }

    void loop() {
        std::shared_ptr<WorkQueue> last;  // released after the lock below, when retired
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            wake_.wait(lk, [&] { return (!queue_.empty() || retiring_) && host_ == std::thread::id(); });
            if (queue_.empty()) {
                last = std::move(self_);
                idle_.notify_all();
                return;
            }
            handle_front(lk);
            // A waiting host needs only the worker's item finished.
            if (queue_.empty() || host_waiting_) idle_.notify_all();
        }
    }

    std::function<void(Item&)> handler_;
    std::mutex m_;
    std::condition_variable wake_, idle_;
    std::deque<Item> queue_;
    bool busy_ = false, started_ = false, host_waiting_ = false, retiring_ = false;
    std::shared_ptr<WorkQueue> self_;  // a retired queue's own keep, until its worker ends
    int host_depth_ = 0;
    std::thread::id host_;  // a thread handling items itself (run_here)
    std::uint64_t handled_ = 0;
    std::thread::id thread_;
};

}  // namespace tvx::sandbox
