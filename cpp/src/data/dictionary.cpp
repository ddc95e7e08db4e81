#include "kestrel/data/dictionary.hpp"

#include <bit>
#include <cmath>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "kestrel/common/error.hpp"

namespace kestrel {

namespace {

class FunctionSubscriber final : public ChangeSubscriber {
public:
    FunctionSubscriber(std::function<void()> fn, const void *tag) : fn_(std::move(fn)), tag_(tag) {}
    void notify() override { fn_(); }
    bool same_as(const ChangeSubscriber &other) const override {
        if (&other == this) return true;
        const auto *o = dynamic_cast<const FunctionSubscriber *>(&other);
        return o != nullptr && tag_ != nullptr && o->tag_ == tag_;
    }

private:
    std::function<void()> fn_;
    const void *tag_;
};

}  // namespace

namespace {
thread_local SubscriberSink *t_subscriber_sink = nullptr;
}  // namespace

SubscriberSinkScope::SubscriberSinkScope(SubscriberSink *sink) noexcept : previous_(t_subscriber_sink) {
    t_subscriber_sink = sink;
}

SubscriberSinkScope::~SubscriberSinkScope() { t_subscriber_sink = previous_; }

SubscriberSink *SubscriberSinkScope::current() noexcept { return t_subscriber_sink; }

ChangeCallback make_change_callback(std::function<void()> fn, const void *tag) {
    return std::make_shared<FunctionSubscriber>(std::move(fn), tag);
}

// --- ValueCell ----------------------------------------------------------------

// A sequence lock built from atomic operations only (no fences), so that
// ThreadSanitizer follows it: the writer's odd-making increment is an
// acquire RMW (the field stores cannot move above it) and the field stores
// are release stores; the reader loads the fields with acquire, so a reader
// that sees any field of a write in progress also sees that write's odd
// counter on its second look, and the second look cannot move above the
// field loads. On common processors every read is then a plain load: no
// read-modify-write, no cache line written by readers. Waits are bounded:
// after a few tries a waiter yields, so a reader with a higher priority
// cannot starve the writer it waits for on the same core.
namespace {
constexpr int kSpinsBeforeYield = 64;
void backoff(int &spins) noexcept {
    if (++spins >= kSpinsBeforeYield) {
        spins = 0;
        std::this_thread::yield();
    }
}
}  // namespace

template <typename Read>
uint64_t ValueCell::read_consistent(Read &&read) const noexcept {
    int spins = 0;
    for (;;) {
        const uint64_t before = sequence_.load(std::memory_order_acquire);
        if ((before & 1u) == 0) {
            read();
            if (sequence_.load(std::memory_order_relaxed) == before) return before;
        }
        backoff(spins);
    }
}

Value ValueCell::load() const noexcept {
    uint8_t kind = kBool;
    uint64_t bits = 0;
    read_consistent([&] {
        kind = kind_.load(std::memory_order_acquire);
        bits = bits_.load(std::memory_order_acquire);
    });
    switch (kind) {
        case kBool:
            return bits != 0;
        case kInt:
            return static_cast<int64_t>(bits);
        default:
            return std::bit_cast<double>(bits);
    }
}

bool ValueCell::load_raw(uint32_t &raw, uint64_t &version) const noexcept {
    bool valid = false;
    version = read_consistent([&] {
        valid = raw_valid_.load(std::memory_order_acquire);
        raw = raw_.load(std::memory_order_acquire);
    });
    return valid;
}

bool ValueCell::load_raw(uint32_t &raw) const noexcept {
    uint64_t version;
    return load_raw(raw, version);
}

void ValueCell::classify(const Value &value, uint8_t &kind, uint64_t &bits) noexcept {
    if (const auto *b = std::get_if<bool>(&value)) {
        kind = kBool;
        bits = *b ? 1 : 0;
    } else if (const auto *n = std::get_if<int64_t>(&value)) {
        kind = kInt;
        bits = static_cast<uint64_t>(*n);
    } else {
        kind = kDouble;
        bits = std::bit_cast<uint64_t>(std::get<double>(value));
    }
}

void ValueCell::write(uint8_t kind, uint64_t bits, uint32_t raw, bool valid) noexcept {
    // Taken by making the version odd: one read-modify-write per store.
    int spins = 0;
    uint64_t seq = sequence_.load(std::memory_order_relaxed);
    for (;;) {
        if ((seq & 1u) == 0 &&
            sequence_.compare_exchange_weak(seq, seq + 1, std::memory_order_acquire, std::memory_order_relaxed))
            break;
        backoff(spins);
        seq = sequence_.load(std::memory_order_relaxed);
    }
    kind_.store(kind, std::memory_order_release);
    bits_.store(bits, std::memory_order_release);
    raw_.store(raw, std::memory_order_release);
    raw_valid_.store(valid, std::memory_order_release);
    sequence_.store(seq + 2, std::memory_order_release);
}

void ValueCell::store(DataType type, const Value &value) noexcept {
    uint8_t kind = kBool;
    uint64_t bits = 0;
    classify(value, kind, bits);
    // The cached form is kept only when it maps back to this very value, so
    // comparing integer forms is the same as comparing values.
    uint32_t raw = 0;
    bool valid = false;
    try {
        raw = serialize_value(type, value);
        valid = values_same(unserialize_value(type, raw), value);
    } catch (...) {
        valid = false;
    }
    write(kind, bits, raw, valid);
}

void ValueCell::store_exact(const Value &value, uint32_t raw) noexcept {
    uint8_t kind = kBool;
    uint64_t bits = 0;
    classify(value, kind, bits);
    write(kind, bits, raw, true);
}

// --- DictionaryItem -----------------------------------------------------------

DictionaryItem::DictionaryItem(ItemKind kind, int32_t key, std::string name, DataType data_type, Value fail_safe)
    : kind_(kind),
      key_(key),
      name_(std::move(name)),
      data_type_(data_type),
      fail_safe_(fail_safe),
      input_(data_type, fail_safe),
      output_(data_type, data_type_initial_value(data_type)) {}

void DictionaryItem::set(const Value &value) {
    switch (kind_) {
        case ItemKind::Input:
            raise(ErrorKind::Permission, "Cannot set safe input item " + name_);
        case ItemKind::Output:
        case ItemKind::InputOutput:
            output_.store(data_type_, value);
            return;
        case ItemKind::Base:
            break;
    }
    raise(ErrorKind::NotImplemented);
}

Value DictionaryItem::get() const {
    switch (kind_) {
        case ItemKind::Input:
        case ItemKind::InputOutput:
            return input_.load();
        case ItemKind::Output:
            return output_.load();
        case ItemKind::Base:
            break;
    }
    raise(ErrorKind::NotImplemented);
}

uint32_t DictionaryItem::_read() const {
    uint64_t version;
    return _read(version);
}

void DictionaryItem::_write(int64_t raw) {
    if (!has_input()) raise(ErrorKind::NotImplemented);
    set_input_value(unserialize_value(data_type_, raw));
}

void DictionaryItem::_set_fail_safe() {
    if (has_input()) set_input_value(fail_safe_);
}

bool DictionaryItem::input_unchanged(uint32_t raw) const noexcept {
    uint64_t version;
    return input_unchanged(raw, version);
}

bool DictionaryItem::input_unchanged(uint32_t raw, uint64_t &version) const noexcept {
    uint32_t current;
    return has_input() && input_.load_raw(current, version) && current == raw;
}

uint32_t DictionaryItem::_read(uint64_t &version) const {
    if (!has_output()) raise(ErrorKind::NotImplemented);
    uint32_t raw;
    if (output_.load_raw(raw, version)) return raw;
    return serialize_value(data_type_, output_.load());  // raises the serialisation error
}

bool DictionaryItem::_store_from_frame(uint32_t raw) noexcept {
    // Unsigned types and a 0/1 BOOL map a raw form to exactly one value and
    // back: no conversion round trip is needed to keep the cached form.
    const bool exact = (data_type_is_integer(data_type_) && !data_type_is_signed(data_type_) &&
                        uint64_t{raw} >> data_type_bits(data_type_) == 0) ||
                       (data_type_ == DataType::BOOL && raw <= 1);
    if (!exact || !has_input()) return false;
    input_.store_exact(data_type_ == DataType::BOOL ? Value{raw != 0} : Value{int64_t{raw}}, raw);
    return true;
}

void DictionaryItem::set_input_value(const Value &value) {
    if (values_same(input_.load(), value)) return;
    input_.store(data_type_, value);
    _notify_input_changed();
}

void DictionaryItem::_notify_input_changed() {
    if (!has_subscribers_.load(std::memory_order_acquire)) return;
    // A snapshot: subscribers may subscribe or unsubscribe while being called.
    std::vector<ChangeCallback> snapshot;
    {
        std::lock_guard lock(subscribers_mutex_);
        snapshot = subscribers_;
    }
    SubscriberSink *sink = SubscriberSinkScope::current();
    if (sink == nullptr) {
        for (const auto &callback : snapshot) callback->notify();  // a failure ends the notification
        return;
    }
    for (const auto &callback : snapshot) {
        try {
            callback->notify();
#if defined(__GLIBCXX__)
        } catch (abi::__forced_unwind &) {
            throw;  // the thread is being ended
#endif
        } catch (...) {
            sink->subscriber_failed(std::current_exception());
        }
        sink->after_subscriber();
    }
}

void DictionaryItem::subscribe(ChangeCallback callback) {
    if (!callback) raise(ErrorKind::Type, "callback must not be null");
    std::vector<ChangeCallback> snapshot;
    {
        std::lock_guard lock(subscribers_mutex_);
        snapshot = subscribers_;
    }
    // Compared outside the lock: the host's equality may run arbitrary code.
    for (const auto &existing : snapshot)
        if (existing->same_as(*callback)) return;
    std::lock_guard lock(subscribers_mutex_);
    subscribers_.push_back(std::move(callback));
    has_subscribers_.store(true, std::memory_order_release);
}

void DictionaryItem::unsubscribe(const ChangeSubscriber &callback) {
    std::vector<ChangeCallback> snapshot;
    {
        std::lock_guard lock(subscribers_mutex_);
        snapshot = subscribers_;
    }
    ChangeCallback found;
    for (const auto &existing : snapshot) {
        if (existing->same_as(callback)) {
            found = existing;
            break;
        }
    }
    if (!found) return;
    std::lock_guard lock(subscribers_mutex_);
    for (auto it = subscribers_.begin(); it != subscribers_.end(); ++it) {
        if (*it == found) {
            subscribers_.erase(it);
            break;
        }
    }
    has_subscribers_.store(!subscribers_.empty(), std::memory_order_release);
}

void DictionaryItem::clear_subscribers() {
    std::vector<ChangeCallback> dropped;
    {
        std::lock_guard lock(subscribers_mutex_);
        dropped.swap(subscribers_);
        has_subscribers_.store(false, std::memory_order_release);
    }
    // released here, outside the lock
}

// --- Dictionary -----------------------------------------------------------------

Dictionary::Dictionary(std::vector<DictionaryItemPtr> items) : items_(std::move(items)) {
    for (size_t i = 0; i < items_.size(); ++i) {
        const auto &item = items_[i];
        if (!item) raise(ErrorKind::Type, "Dictionary items must be dictionary items, not None");
        if (by_key_.count(item->key())) raise(ErrorKind::Value, "Duplicated Key " + std::to_string(item->key()));
        if (by_name_.find(std::string_view(item->name())) != by_name_.end())
            raise(ErrorKind::Value, "Duplicated name " + item->name());
        by_key_.emplace(item->key(), i);
        by_name_.emplace(item->name(), i);
    }
}

DictionaryItem *Dictionary::find_key(int32_t key) const noexcept {
    const auto it = by_key_.find(key);
    return it == by_key_.end() ? nullptr : items_[it->second].get();
}

DictionaryItem *Dictionary::find_name(std::string_view name) const noexcept {
    const auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : items_[it->second].get();
}

const DictionaryItemPtr &Dictionary::item_by_key(int32_t key) const {
    const auto it = by_key_.find(key);
    if (it == by_key_.end()) raise(ErrorKind::Key, std::to_string(key));
    return items_[it->second];
}

DictionaryItem &Dictionary::item_by_name(std::string_view name) const {
    DictionaryItem *item = find_name(name);
    if (item == nullptr) raise(ErrorKind::Key, std::string(name));
    return *item;
}

void Dictionary::_set_inputs_to_failsafe() {
    for (const auto &item : items_) item->_set_fail_safe();
}

}  // namespace kestrel
