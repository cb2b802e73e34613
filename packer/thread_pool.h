// A fixed set of worker threads that run jobs from one queue, in the order
// they were given. The archiver codes blocks on it; a job's result travels
// in a std::future, so the writer takes results in stream order whatever
// order the workers finish in.
#ifndef DRAVEX_PACKER_THREAD_POOL_H
#define DRAVEX_PACKER_THREAD_POOL_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace packer {

class ThreadPool {
public:
    // A thread the system cannot start (no memory for its stack) leaves the
    // pool smaller; with none at all it throws std::system_error, after
    // joining none, since none runs.
    explicit ThreadPool(unsigned threads)
    {
        workers_.reserve(threads);  // no allocation once a thread runs
        for (unsigned i = 0; i < threads; i++) {
            try {
                workers_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                if (workers_.empty())
                    throw;
                break;
            }
        }
    }

    // Jobs still queued are run before the workers end, so no future is
    // left without its value.
    ~ThreadPool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : workers_)
            t.join();
    }

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    template <typename F>
    auto submit(F&& job) -> std::future<decltype(job())>
    {
        using Result = decltype(job());
        auto task = std::make_shared<std::packaged_task<Result()>>(std::forward<F>(job));
        std::future<Result> result = task->get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.emplace_back([task] { (*task)(); });
        }
        wake_.notify_one();
        return result;
    }

private:
    void work()
    {
        while (true) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace packer

#endif
