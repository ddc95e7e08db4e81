// The safety dictionary: typed safe inputs and outputs shared between the
// application, the dictionary maps and the state machine.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kestrel/data/data_type.hpp"

namespace kestrel {

// One value, read and written as a whole from any thread (a sequence lock:
// readers never see half of a new value, and waits yield after a few tries). It also caches the
// value's integer form so the data exchange does not convert on every frame.
class ValueCell {
public:
    ValueCell(DataType type, const Value &value) noexcept { store(type, value); }
    ValueCell(const ValueCell &) = delete;
    ValueCell &operator=(const ValueCell &) = delete;

    Value load() const noexcept;
    void store(DataType type, const Value &value) noexcept;
    // Stores `value` whose integer form is known to be exactly `raw`.
    void store_exact(const Value &value, uint32_t raw) noexcept;
    // The cached integer form; false when the value has none that maps back
    // to exactly the same value (out of range, wrong kind, inexact float).
    bool load_raw(uint32_t &raw) const noexcept;
    // The same, with the version the form was read at.
    bool load_raw(uint32_t &raw, uint64_t &version) const noexcept;
    // Changes with every store (even while no store is under way): a value
    // read at version v is still the value while the version is v.
    uint64_t version() const noexcept { return sequence_.load(std::memory_order_acquire); }

private:
    enum : uint8_t { kBool, kInt, kDouble };
    // Runs `read` (relaxed loads of the fields) until it saw no store.
    template <typename Read>
    uint64_t read_consistent(Read &&read) const noexcept;  // returns the version read at
    static void classify(const Value &value, uint8_t &kind, uint64_t &bits) noexcept;
    void write(uint8_t kind, uint64_t bits, uint32_t raw, bool valid) noexcept;
    // Odd while a store is under way; a writer takes the cell by making it
    // odd, so writers exclude each other with the same word.
    std::atomic<uint64_t> sequence_{0};
    std::atomic<uint8_t> kind_{kBool};
    std::atomic<bool> raw_valid_{false};
    std::atomic<uint32_t> raw_{0};
    std::atomic<uint64_t> bits_{0};
};

// A change subscriber. Equality decides whether subscribing again is a
// duplicate; the binding compares host callables with the host's equality.
class ChangeSubscriber {
public:
    virtual ~ChangeSubscriber() = default;
    virtual void notify() = 0;
    virtual bool same_as(const ChangeSubscriber &other) const = 0;
};
using ChangeCallback = std::shared_ptr<ChangeSubscriber>;

// Where subscriber failures go while a connection event runs on this thread.
// Without a sink, a failing subscriber's exception leaves the change at once
// (the later subscribers of that change are not called). Inside an event the
// change must complete whatever a subscriber does: every subscriber is called,
// every input of a fail-safe switch or a frame is set, and the event raises the
// first failure once it has finished. A sink is installed for one scope on one
// thread (SubscriberSinkScope); scopes nest, the innermost one receives.
class SubscriberSink {
public:
    // Keeps `error` (a sink raises the first one it was given).
    virtual void subscriber_failed(std::exception_ptr error) noexcept = 0;
    // After each subscriber: may throw to end the enclosing event, when the
    // subscriber started an event of its own that supersedes it.
    virtual void after_subscriber() = 0;

protected:
    ~SubscriberSink() = default;
};

class SubscriberSinkScope {
public:
    explicit SubscriberSinkScope(SubscriberSink *sink) noexcept;
    ~SubscriberSinkScope();
    SubscriberSinkScope(const SubscriberSinkScope &) = delete;
    SubscriberSinkScope &operator=(const SubscriberSinkScope &) = delete;
    static SubscriberSink *current() noexcept;

private:
    SubscriberSink *previous_;
};

// A C++ callback; two of them are equal when they carry the same non-null tag
// (or are the same object).
ChangeCallback make_change_callback(std::function<void()> fn, const void *tag = nullptr);

enum class ItemKind : uint8_t { Base = 0, Input = 1, Output = 2, InputOutput = 3 };
using ItemKindMask = uint8_t;
constexpr ItemKindMask kind_bit(ItemKind kind) noexcept { return static_cast<ItemKindMask>(1u << unsigned(kind)); }

class DictionaryItem {
public:
    DictionaryItem(int32_t key, std::string name, DataType data_type)
        : DictionaryItem(ItemKind::Base, key, std::move(name), data_type, Value{}) {}
    virtual ~DictionaryItem() = default;
    DictionaryItem(const DictionaryItem &) = delete;
    DictionaryItem &operator=(const DictionaryItem &) = delete;

    int32_t key() const noexcept { return key_; }
    const std::string &name() const noexcept { return name_; }
    DataType data_type() const noexcept { return data_type_; }
    ItemKind kind() const noexcept { return kind_; }
    bool has_input() const noexcept { return kind_ == ItemKind::Input || kind_ == ItemKind::InputOutput; }
    bool has_output() const noexcept { return kind_ == ItemKind::Output || kind_ == ItemKind::InputOutput; }

    // Application side: an output is written, an input read; an input-output
    // is written on its output side and read on its input side.
    void set(const Value &value);
    Value get() const;

    // Integer form, for the maps: outputs are read, inputs written (through
    // the change rule, which may run subscribers).
    uint32_t _read() const;
    void _write(int64_t raw);
    void _set_fail_safe();

    // True when writing `raw` to the input side would change nothing; cheap,
    // lets the data exchange skip unchanged inputs.
    bool input_unchanged(uint32_t raw) const noexcept;

    // For the maps' exchange caches: a raw form read at a version stays the
    // value's form while the side's version is the same.
    uint64_t input_version() const noexcept { return input_.version(); }
    uint64_t output_version() const noexcept { return output_.version(); }
    bool input_unchanged(uint32_t raw, uint64_t &version) const noexcept;
    uint32_t _read(uint64_t &version) const;
    // The first half of _write for a raw form from a frame that
    // input_unchanged() found to be a change: stores it when the type maps it
    // to one value exactly (false: nothing stored, use _write). The caller then
    // runs the subscribers (_notify_input_changed) when there are any.
    bool _store_from_frame(uint32_t raw) noexcept;
    bool has_subscribers() const noexcept { return has_subscribers_.load(std::memory_order_acquire); }
    void _notify_input_changed();

    // For hosts with a garbage collector: the subscribers held, and dropping
    // them all (to break reference cycles through subscribers).
    template <typename Visit>
    void visit_subscribers(Visit &&visit) const {
        std::lock_guard lock(subscribers_mutex_);
        for (const auto &callback : subscribers_) visit(*callback);
    }
    void clear_subscribers();

protected:
    DictionaryItem(ItemKind kind, int32_t key, std::string name, DataType data_type, Value fail_safe);

    Value input_value() const noexcept { return input_.load(); }
    Value output_value() const noexcept { return output_.load(); }
    const Value &fail_safe() const noexcept { return fail_safe_; }
    void set_input_value(const Value &value);  // the change rule
    void subscribe(ChangeCallback callback);
    void unsubscribe(const ChangeSubscriber &callback);

private:
    ItemKind kind_;
    int32_t key_;
    std::string name_;
    DataType data_type_;
    Value fail_safe_;
    ValueCell input_;
    ValueCell output_;
    mutable std::mutex subscribers_mutex_;
    std::vector<ChangeCallback> subscribers_;
    std::atomic<bool> has_subscribers_{false};
};

class DictionaryItemInput final : public DictionaryItem {
public:
    DictionaryItemInput(int32_t key, std::string name, DataType data_type, Value fail_safe_value)
        : DictionaryItem(ItemKind::Input, key, std::move(name), data_type, fail_safe_value) {}
    Value value() const noexcept { return input_value(); }
    const Value &fail_safe_value() const noexcept { return fail_safe(); }
    void subscribe_changed(ChangeCallback callback) { subscribe(std::move(callback)); }
    void unsubscribe_changed(const ChangeSubscriber &callback) { unsubscribe(callback); }
};

class DictionaryItemOutput final : public DictionaryItem {
public:
    DictionaryItemOutput(int32_t key, std::string name, DataType data_type)
        : DictionaryItem(ItemKind::Output, key, std::move(name), data_type, Value{}) {}
    Value value() const noexcept { return output_value(); }
};

class DictionaryItemInputOutput final : public DictionaryItem {
public:
    DictionaryItemInputOutput(int32_t key, std::string name, DataType data_type, Value fail_safe_input_value)
        : DictionaryItem(ItemKind::InputOutput, key, std::move(name), data_type, fail_safe_input_value) {}
    Value value_input() const noexcept { return input_value(); }
    Value value_output() const noexcept { return output_value(); }
    const Value &fail_safe_input_value() const noexcept { return fail_safe(); }
    void subscribe_input_changed(ChangeCallback callback) { subscribe(std::move(callback)); }
    void unsubscribe_input_changed(const ChangeSubscriber &callback) { unsubscribe(callback); }
};

using DictionaryItemPtr = std::shared_ptr<DictionaryItem>;

// The items of one connection by key and by name. Not edited after
// construction; the items are shared, never copied.
class Dictionary {
public:
    // ValueError "Duplicated Key <key>" / "Duplicated name <name>" (key first);
    // TypeError for a null item.
    explicit Dictionary(std::vector<DictionaryItemPtr> items);

    const std::vector<DictionaryItemPtr> &items() const noexcept { return items_; }  // insertion order
    DictionaryItem *find_key(int32_t key) const noexcept;
    DictionaryItem *find_name(std::string_view name) const noexcept;
    const DictionaryItemPtr &item_by_key(int32_t key) const;    // KeyError
    DictionaryItem &item_by_name(std::string_view name) const;  // KeyError

    void set(std::string_view name, const Value &value) { item_by_name(name).set(value); }
    Value get(std::string_view name) const { return item_by_name(name).get(); }
    uint32_t _read(int32_t key) const { return item_by_key(key)->_read(); }
    void _write(int32_t key, int64_t raw) { item_by_key(key)->_write(raw); }
    void _set_inputs_to_failsafe();

private:
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::vector<DictionaryItemPtr> items_;
    std::unordered_map<int32_t, size_t> by_key_;
    std::unordered_map<std::string, size_t, NameHash, std::equal_to<>> by_name_;
};

}  // namespace kestrel
