// C++ work on threads with the GIL released, interruptible from Python.
//
// run_threads(count, nthreads, body) calls body(i, stop) for i in 0..count-1
// on up to `nthreads` threads (items taken in order from a shared counter)
// while the calling thread, holding the GIL only briefly, checks for signals
// every few milliseconds.  A pending KeyboardInterrupt (or any signal
// handler's error) sets `stop`, the threads are joined and the error is
// thrown as error_already_set.  An exception thrown by a body stops the
// others and is rethrown on the calling thread.  Bodies must not touch
// Python objects.
#pragma once

#include "interop.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vx {

template <class Body> void run_threads(std::size_t count, unsigned nthreads, std::atomic<bool> &stop, Body &&body) {
    if (count == 0)
        return;
    nthreads = std::max(1u, std::min<unsigned>(nthreads, static_cast<unsigned>(std::min<std::size_t>(count, 1024))));
    std::atomic<std::size_t> next{0};
    std::mutex mu;
    std::condition_variable cv;
    unsigned running = nthreads;
    std::exception_ptr failure;
    auto worker = [&] {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
                if (i >= count)
                    break;
                body(i, stop);
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(mu);
            if (!failure)
                failure = std::current_exception();
            stop.store(true);
        }
        std::lock_guard<std::mutex> lock(mu);
        if (--running == 0)
            cv.notify_all();
    };
    std::vector<std::thread> threads;
    bool interrupted = false;
    {
        PyThreadState *ts = PyEval_SaveThread();
        try {
            for (unsigned t = 0; t < nthreads; ++t)
                threads.emplace_back(worker);
        } catch (...) {
            stop.store(true);
            std::lock_guard<std::mutex> lock(mu);
            running -= nthreads - static_cast<unsigned>(threads.size());
            if (!failure)
                failure = std::current_exception();
        }
        std::unique_lock<std::mutex> lock(mu);
        while (running > 0) {
            cv.wait_for(lock, std::chrono::milliseconds(5));
            if (running == 0 || interrupted)
                continue;
            lock.unlock();
            PyEval_RestoreThread(ts);
            interrupted = PyErr_CheckSignals() < 0;
            ts = PyEval_SaveThread();
            if (interrupted)
                stop.store(true);
            lock.lock();
        }
        lock.unlock();
        for (std::thread &t : threads)
            t.join();
        PyEval_RestoreThread(ts);
    }
    if (interrupted)
        throw error_already_set{};
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace vx
