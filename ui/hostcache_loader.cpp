// The HostCache loader thread.
#include "hostcache_loader.hpp"

#include <algorithm>
#include <new>

#include "host_cache.hpp"
#include "main_loop_queue.hpp"

namespace kv::ui {

HostCacheLoader* HostCacheLoader::start(ResultCallback on_result, void* user_data) noexcept {
    auto* loader = new (std::nothrow) HostCacheLoader;
    if (loader == nullptr)
        return nullptr;
    loader->on_result_ = on_result;
    loader->user_data_ = user_data;
    const int r = pthread_create(
        &loader->thread_, nullptr,
        [](void* self) -> void* {
            static_cast<HostCacheLoader*>(self)->run();
            return nullptr;
        },
        loader);
    if (r != 0) {
        delete loader;
        return nullptr;
    }
    return loader;
}

void HostCacheLoader::stop(HostCacheLoader* loader) noexcept {
    if (loader == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(loader->mutex_);
        loader->stopping_ = true;
    }
    loader->wake_.notify_all();
    (void)pthread_join(loader->thread_, nullptr);
    main_loop_cancel(loader);
    delete loader;
}

void HostCacheLoader::request(std::uint64_t mask) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(requests_.begin(), requests_.end(), mask) != requests_.end())
            return;
        requests_.push_back(mask);
    }
    wake_.notify_all();
}

void HostCacheLoader::done() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        in_flight_ = false;
    }
    wake_.notify_all();
}

bool HostCacheLoader::busy() const noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_flight_ || !requests_.empty();
}

void HostCacheLoader::deliver(void* self) noexcept {
    auto* loader = static_cast<HostCacheLoader*>(self);
    std::unique_ptr<HostCacheSnapshot> snapshot;
    {
        std::lock_guard<std::mutex> lock(loader->mutex_);
        snapshot = std::move(loader->result_);
    }
    loader->on_result_(loader->user_data_, std::move(snapshot));
}

void HostCacheLoader::run() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (!in_flight_ && !requests_.empty()); });
        if (stopping_)
            return;
        const std::uint64_t mask = requests_.front();
        requests_.pop_front();
        in_flight_ = true;
        lock.unlock();
        auto snapshot = std::unique_ptr<HostCacheSnapshot>(new (std::nothrow) HostCacheSnapshot);
        if (snapshot != nullptr)
            read_hostcache(svc::kHostCacheDir, mask, &sums_, snapshot.get());
        lock.lock();
        if (snapshot == nullptr || stopping_) {
            in_flight_ = false;
            continue;
        }
        result_ = std::move(snapshot);
        if (!main_loop_post(deliver, this)) {
            result_.reset();
            in_flight_ = false;
        }
    }
}

}  // namespace kv::ui
