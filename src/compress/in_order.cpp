// Appending prepared entries to the archive stream in index order.

#include "compress/in_order.hpp"

#include "compress/writer.hpp"

#include <variant>

namespace quastor {

Result<bool> InOrder::write_if_next(size_t index, Bytes const* in_hand)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (index != next_)
        return false;
    QUASTOR_TRY(stream_.append(prepared_[index], in_hand));
    ++next_;
    QUASTOR_TRY(write_parked());
    return true;
}

Result<void> InOrder::parked(size_t index)
{
    std::lock_guard<std::mutex> hold(lock_);
    ready_[index] = 1;
    return write_parked();
}

Result<void> InOrder::write_parked()
{
    while (next_ < ready_.size() && ready_[next_] != 0) {
        PreparedEntry& entry = prepared_[next_];
        QUASTOR_TRY(stream_.append(entry));
        // Written: the memory it held goes back to the budget.
        if (auto* held = std::get_if<InlineData>(&entry.data)) {
            budget_.give_back(held->bytes.size());
            entry.data = EmptyData{};
        }
        ++next_;
    }
    return {};
}

} // namespace quastor
