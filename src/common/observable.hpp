#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

// Published properties: a value that the models own and the views watch. Single-threaded:
// a value and its subscriptions belong to the thread that owns the model (the main thread).

namespace corvel {

// Ends one subscription when it is destroyed or reset; it may outlive the value it watches.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Subscription& operator=(Subscription&& other) noexcept {
        if (this != &other) {
            reset();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { reset(); }

    void reset() {
        if (auto cancel = std::exchange(cancel_, nullptr)) cancel();
    }

private:
    std::function<void()> cancel_;
};

// A value that tells its subscribers about every change. Setting an equal value says nothing.
// Observers see the new value after it is stored; an observer may set values, subscribe or
// unsubscribe (itself or others) while it is being told: one unsubscribed during a
// notification is not called any more, one subscribed during it hears from the next change on.
template <std::equality_comparable T>
class Published {
public:
    using Observer = std::function<void(const T&)>;

    explicit Published(T initial = T{}) : value_(std::move(initial)) {}
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& value() const { return value_; }

    void set(T newValue) {
        if (value_ == newValue) return;
        value_ = std::move(newValue);
        // Walk a copy: observers may change the list while they are told.
        const auto entries = observers_->entries;
        for (const auto& entry : entries) {
            if (observers_->contains(entry.id)) (*entry.observer)(value_);
        }
    }

    // Watching is no change of the value: a const value may be watched.
    [[nodiscard]] Subscription subscribe(Observer observer) const {
        const std::uint64_t id = observers_->nextId++;
        observers_->entries.push_back({id, std::make_shared<Observer>(std::move(observer))});
        return Subscription([list = std::weak_ptr<Observers>(observers_), id] {
            if (auto observers = list.lock()) std::erase_if(observers->entries, [id](const auto& e) { return e.id == id; });
        });
    }

private:
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<Observer> observer;
    };
    struct Observers {
        std::vector<Entry> entries;
        std::uint64_t nextId = 0;
        bool contains(std::uint64_t id) const {
            for (const auto& entry : entries) {
                if (entry.id == id) return true;
            }
            return false;
        }
    };

    T value_;
    const std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace corvel
